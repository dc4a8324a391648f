// Checkout rules without pages: purchase option values and texts, card expiry and the order of
// the card checks, the digits of a card entry, the shipping option line and the shipping file
// as offered to an order, and the arithmetic of prices, handling, shipping and tax.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <arpa/inet.h>

#include "checkout/options.h"
#include "checkout/payment.h"
#include "checkout/shipping.h"
#include "orders/amounts.h"
#include "orders/slots.h"
#include "shell/companion_entries.h"
#include "shell/module.h"

namespace {

namespace fs = std::filesystem;

// A temporary mall root as the working directory, with a message block of the messages the
// checkout reads, and a current order of one shipped item of store ACME.
class CheckoutRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/checkout_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(root_);
        std::ofstream("test.mcv") << "27: Nothing to pay\n49: Standard shipping\n";
        block_ = _opnmsg("test.mcv");
        _setmbk(block_);
        saved_mall_ = Mall;
        // The shopper of the current channel, with an order of their own.
        ClearOrderSlots();
        in_addr shopper{};
        shopper.s_addr = htonl(0x7f000002);
        _tcpipinf[_usrnum].peer = shopper;
        order_ = NewOrderSlot(shopper);
        ASSERT_NE(order_, nullptr);
        std::strcpy(order_->store_id, "ACME");
        order_->count = 1;
        std::strcpy(order_->items[0].store_id, "ACME");
        FindCurrentOrder();
        ASSERT_EQ(CurrentOrder(), order_);
    }
    void TearDown() override {
        FreeOrderSlots();
        Mall = saved_mall_;
        _clsmsg(block_);
        fs::current_path(previous_);
        fs::remove_all(root_);
    }
    static void WriteFile(const std::string &path, const std::string &text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string Offered(const std::string &line) {
        char chosen[kShippingLineSize] = "unchanged";
        if (!ShippingLineOffered(order_, line.c_str(), chosen)) return "(refused)";
        return chosen;
    }

    fs::path root_, previous_;
    HostMessageBlock *block_ = nullptr;
    MallVars saved_mall_{};
    OrderSlot *order_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Purchase option values

TEST(PurchaseOptions, TranslatePoptGivesTheBitNumber) {
    EXPECT_EQ(TranslatePopt(1), 0);
    EXPECT_EQ(TranslatePopt(2), 1);
    EXPECT_EQ(TranslatePopt(64), 6);
    EXPECT_EQ(TranslatePopt(1024), 10);
    EXPECT_EQ(TranslatePopt(3), 1) << "two bits: the higher one";
    EXPECT_EQ(TranslatePopt(0), 0);
    EXPECT_EQ(TranslatePopt(-8), 0) << "below 2, negatives included";
    EXPECT_EQ(TranslatePopt(255), 255);
    EXPECT_EQ(TranslatePopt(256), 8);
}

TEST_F(CheckoutRoot, TextPoptNamesAnOptionByItsBitAndNothingToPayByMessage27) {
    const char *names[kMallOptionTexts] = {"Visa", "MasterCard", "", "", "JCB", "", "Purchase order",
                                           "", "", "", "Check"};
    for (int i = 0; i < kMallOptionTexts; ++i) Mall.option_text[i] = names[i];
    EXPECT_STREQ(TextPopt(1), "Visa");
    EXPECT_STREQ(TextPopt(16), "JCB");
    EXPECT_STREQ(TextPopt(64), "Purchase order");
    EXPECT_STREQ(TextPopt(1024), "Check");
    EXPECT_STREQ(TextPopt(255), "Nothing to pay");
    EXPECT_STREQ(TextPopt(2048), "") << "beyond the table's eleven names";
    Mall.option_text[0] = nullptr;
    EXPECT_STREQ(TextPopt(1), "") << "a mall library without the name";
}

// ---------------------------------------------------------------------------------------------
// Card entries

std::string Digits(const char *text) {
    char buffer[64];
    std::strcpy(buffer, text);
    KeepDigits(buffer);
    return buffer;
}

TEST(CardEntry, KeepDigitsDropsEverythingElse) {
    EXPECT_EQ(Digits("4111 1111-1111/1111"), "4111111111111111");
    EXPECT_EQ(Digits("5/27"), "527");
    EXPECT_EQ(Digits("no digits"), "");
    EXPECT_EQ(Digits(""), "");
}

// The expiry as the payment step has it (digits only) checked in May 2025 (year 125 since 1900)
// with cards valid at most 10 years ahead: what it becomes, or "refused".
std::string Expiry(const char *digits, int max_years = 10) {
    char expiry[kPaymentTextSize] = {};
    std::strcpy(expiry, digits);
    return ValidateExpiryAt(expiry, 5, 125, max_years) ? expiry : "refused";
}

TEST(CardEntry, ExpiryIsReadAsMonthAndTwoDigitYearAndRewrittenAsMMYY) {
    EXPECT_EQ(Expiry("527"), "0527") << "typed 5/27";
    EXPECT_EQ(Expiry("1226"), "1226");
    EXPECT_EQ(Expiry("0520"), "refused") << "typed 05/2027: only 05/20 is taken, and 2020 is past";
    EXPECT_EQ(Expiry("52"), "refused");
    EXPECT_EQ(Expiry("05270"), "refused");
}

TEST(CardEntry, ExpiryAcceptsTheCurrentMonthUpToTheMaximumYears) {
    EXPECT_EQ(Expiry("525"), "0525") << "this month";
    EXPECT_EQ(Expiry("425"), "refused") << "last month";
    EXPECT_EQ(Expiry("1224"), "refused") << "last year";
    EXPECT_EQ(Expiry("1235"), "1235") << "ten years ahead";
    EXPECT_EQ(Expiry("136"), "refused") << "eleven years ahead";
    EXPECT_EQ(Expiry("136", 11), "0136");
    EXPECT_EQ(Expiry("1326"), "refused") << "month 13";
    EXPECT_EQ(Expiry("026"), "refused") << "month 0";
    EXPECT_EQ(Expiry("0500"), "refused") << "year 00";
    EXPECT_EQ(Expiry("599"), "refused") << "99 is 1999";
}

// The card library's entries as a test sets them: each records its call and answers as told.
struct FakeCards {
    static inline std::vector<std::string> calls;
    static inline int16_t refuse_number = 0, refuse_bad = 0, refuse_type = 0;
    static int16_t Number(const char *n) {
        calls.push_back(std::string("number ") + n);
        return refuse_number;
    }
    static int16_t Bad(const char *n, const char *list, int16_t mode) {
        calls.push_back("bad " + std::string(list) + " " + std::to_string(mode));
        return refuse_bad;
    }
    static int16_t Type(const char *n, int16_t type) {
        calls.push_back("type " + std::to_string(type));
        return refuse_type;
    }
};

class CardChecks : public CheckoutRoot {
  protected:
    void SetUp() override {
        CheckoutRoot::SetUp();
        saved_ = {pCardNumCheck, pBadCardCheck, pCardTypeCheck};
        pCardNumCheck = FakeCards::Number;
        pBadCardCheck = FakeCards::Bad;
        pCardTypeCheck = FakeCards::Type;
        FakeCards::calls.clear();
        FakeCards::refuse_number = FakeCards::refuse_bad = FakeCards::refuse_type = 0;
        std::strcpy(order_->payment.number, "4111111111111111");
        order_->purchase_option = 1;
    }
    void TearDown() override {
        pCardNumCheck = std::get<0>(saved_);
        pBadCardCheck = std::get<1>(saved_);
        pCardTypeCheck = std::get<2>(saved_);
        CheckoutRoot::TearDown();
    }
    std::tuple<CardNumCheckFn, BadCardCheckFn, CardTypeCheckFn> saved_;
};

TEST_F(CardChecks, ThreeChecksInOrderStoppingAtTheFirstRefusal) {
    EXPECT_EQ(CheckCreditCard(), 0);
    EXPECT_EQ(FakeCards::calls, (std::vector<std::string>{"number 4111111111111111", "bad  2", "type 1"}));

    FakeCards::calls.clear();
    FakeCards::refuse_bad = 1;
    EXPECT_EQ(CheckCreditCard(), -2);
    EXPECT_EQ(FakeCards::calls.size(), 2u) << "the type is not checked after a refusal";

    FakeCards::refuse_number = 1;
    EXPECT_EQ(CheckCreditCard(), -1);
    FakeCards::refuse_number = FakeCards::refuse_bad = 0;
    FakeCards::refuse_type = 1;
    EXPECT_EQ(CheckCreditCard(), -3);
}

TEST_F(CardChecks, OptionSixteenIsCardType256AndTheOthersTheirOwnValue) {
    for (uint16_t option : {1, 2, 4, 8, 16}) {
        FakeCards::calls.clear();
        order_->purchase_option = option;
        EXPECT_EQ(CheckCreditCard(), 0);
        EXPECT_EQ(FakeCards::calls.back(), "type " + std::to_string(option == 16 ? 256 : option));
    }
}

TEST_F(CardChecks, ACheckTheCardLibraryLacksRefusesTheCard) {
    pCardTypeCheck = nullptr;
    EXPECT_EQ(CheckCreditCard(), -3);
    pBadCardCheck = nullptr;
    EXPECT_EQ(CheckCreditCard(), -2);
    pCardNumCheck = nullptr;
    EXPECT_EQ(CheckCreditCard(), -1);
}

// ---------------------------------------------------------------------------------------------
// Shipping option lines and the store's shipping file

TEST(ShippingLine, FourFieldsAndHandlingOnlyForYes) {
    ShippingMethod m = ParseShippingLine("Express~12.50~3.25~yes");
    EXPECT_STREQ(m.name, "Express");
    EXPECT_FLOAT_EQ(m.first, 12.5f);
    EXPECT_FLOAT_EQ(m.more, 3.25f);
    EXPECT_TRUE(m.handling);
    EXPECT_TRUE(ParseShippingLine("Express~1~2~YES\r\n").handling) << "a line kept with its line end";
    EXPECT_FALSE(ParseShippingLine("Express~1~2~YESS").handling);
    EXPECT_FALSE(ParseShippingLine("Express~1~2~NO").handling);
    ShippingMethod bare = ParseShippingLine("Pick up in store");
    EXPECT_STREQ(bare.name, "Pick up in store");
    EXPECT_EQ(bare.first, 0.0f);
    EXPECT_FALSE(bare.handling);
}

TEST_F(CheckoutRoot, TheDefaultLineIsMessage49FreeWithoutHandling) {
    char line[kShippingLineSize];
    EXPECT_STREQ(DefaultShippingLine(line), "Standard shipping~0.00~0.00~NO");
}

TEST_F(CheckoutRoot, AStoreIdIsCutToEightAndMustStayInItsDirectory) {
    char path[kConfigPathSize];
    ASSERT_TRUE(StoreConfigPath(path, sizeof path, "LONGSTORE", "KVZSVSHP.CFG"));
    EXPECT_STREQ(path, "KVZSV\\LONGSTOR\\KVZSVSHP.CFG");
    EXPECT_FALSE(StoreConfigPath(path, sizeof path, "..", "KVZSVTAX.CFG"));
    EXPECT_FALSE(StoreConfigPath(path, sizeof path, "A/B", "KVZSVTAX.CFG"));
    EXPECT_FALSE(StoreConfigPath(path, sizeof path, "", "KVZSVTAX.CFG"));
}

TEST_F(CheckoutRoot, OnlyALineTheShippingPageOffersIsTaken) {
    WriteFile("KVZSV/ACME/KVZSVSHP.CFG", "Ground~5.00~2.00~YES\r\n\r\nAir~15.00~4.00~NO\n");
    EXPECT_EQ(Offered("Ground~5.00~2.00~YES"), "Ground~5.00~2.00~YES");
    EXPECT_EQ(Offered("Air~15.00~4.00~NO\r\n"), "Air~15.00~4.00~NO") << "a line end is ignored";
    EXPECT_EQ(Offered("Ground~0.00~0.00~YES"), "(refused)") << "charges of the shopper's own";
    EXPECT_EQ(Offered("ground~5.00~2.00~YES"), "(refused)");
    EXPECT_EQ(Offered("Ground~5.00~2.00"), "(refused)");
    EXPECT_EQ(Offered("Standard shipping~0.00~0.00~NO"), "(refused)") << "the store has its own methods";
    EXPECT_EQ(Offered(""), "(refused)");
    EXPECT_EQ(Offered("\r\n"), "(refused)") << "the file's blank line is no method";
}

TEST_F(CheckoutRoot, WithoutAFileOrForNoShippingItemsOnlyTheDefaultLine) {
    EXPECT_EQ(Offered("Standard shipping~0.00~0.00~NO"), "Standard shipping~0.00~0.00~NO") << "no file";
    WriteFile("KVZSV/ACME/KVZSVSHP.CFG", "Ground~5.00~2.00~YES\n");
    order_->items[0].flags = kProductNoShipping;
    EXPECT_EQ(Offered("Ground~5.00~2.00~YES"), "(refused)");
    EXPECT_EQ(Offered("Standard shipping~0.00~0.00~NO"), "Standard shipping~0.00~0.00~NO");
    order_->count = 0;
    EXPECT_EQ(Offered("Standard shipping~0.00~0.00~NO"), "Standard shipping~0.00~0.00~NO") << "an empty order";
}

TEST_F(CheckoutRoot, ALongFileLineIsOfferedInPiecesOfSeventyNine) {
    std::string name(90, 'x');
    WriteFile("KVZSV/ACME/KVZSVSHP.CFG", name + "~1.00~1.00~NO\n");
    EXPECT_EQ(Offered(name + "~1.00~1.00~NO"), "(refused)");
    EXPECT_EQ(Offered(std::string(79, 'x')), std::string(79, 'x'));
}

// ---------------------------------------------------------------------------------------------
// Amounts

TEST(Amounts, ShippingCountsEveryBegunUnitAboveTheFirst) {
    EXPECT_FLOAT_EQ(ShippingCharge(1.0f, 5, 2), 5);
    EXPECT_FLOAT_EQ(ShippingCharge(1.5f, 5, 2), 7);
    EXPECT_FLOAT_EQ(ShippingCharge(2.0f, 5, 2), 7);
    EXPECT_FLOAT_EQ(ShippingCharge(2.01f, 5, 2), 9);
    EXPECT_FLOAT_EQ(ShippingCharge(3.2f, 5, 2), 11);
    EXPECT_FLOAT_EQ(ShippingCharge(0.0f, 5, 2), 5) << "no weight still pays the first unit";
}

TEST(Amounts, HandlingIsTheFirstUnitOnceAndTheFurtherAmountForEveryOtherUnit) {
    EXPECT_DOUBLE_EQ(ItemHandling(3, 1.0f, 0.5f), 2.0);
    EXPECT_DOUBLE_EQ(ItemHandling(1, 1.0f, 0.5f), 1.0);
}

TEST(Amounts, TheSecondTaxCompoundsOnTheFirstOnlyWithTheCompoundBit) {
    EXPECT_FLOAT_EQ(AddLineTax(0, 100.0, 5, 10, false), 15.0f);
    EXPECT_FLOAT_EQ(AddLineTax(0, 100.0, 5, 10, true), 15.5f);
    EXPECT_FLOAT_EQ(AddLineTax(1.25f, 10.0, 0, 10, true), 2.25f) << "added to what the order has";
    EXPECT_FLOAT_EQ(AddLineTax(0, 19.99, 7.25f, 0, false), static_cast<float>(19.99 * 0.0725));
}

TEST(Amounts, UnitPriceLessItsDiscountKeptInSinglePrecisionUncut) {
    EXPECT_FLOAT_EQ(UnitPriceCharged(10.0f, 0.15f), 8.5f);
    EXPECT_FLOAT_EQ(UnitPriceCharged(9.99f, 0.1f), static_cast<float>(9.99f - 9.99f * 0.1f));
    EXPECT_EQ(UnitPriceCharged(0.333f, 0), 0.333f) << "never cut to cents";
}

}  // namespace
