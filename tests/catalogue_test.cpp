// The catalogue's shared rules in-process: discounts, availability and price rules, the texts
// pages build (escaping, e-mail addresses, identifiers), the image locators on a real directory
// and the format texts from a real format file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "catalogue/rules.h"
#include "companions/mall/files.h"
#include "host/datafile.h"
#include "orders/amounts.h"
#include "shell/companion_entries.h"
#include "shell/options.h"
#include "web/escape.h"

namespace {

namespace fs = std::filesystem;

TEST(HtmlEscape, MarkupCharactersBecomeEntities) {
    EXPECT_STREQ(HtmlEscape("<a href=\"x\">Tom's & Jerry's</a>"),
                 "&lt;a href=&quot;x&quot;&gt;Tom&#39;s &amp; Jerry&#39;s&lt;/a&gt;");
    EXPECT_STREQ(HtmlEscape("plain text, caf\xC3\xA9"), "plain text, caf\xC3\xA9");
    EXPECT_STREQ(HtmlEscape(""), "");
    EXPECT_STREQ(HtmlEscape(nullptr), "");
}

TEST(HtmlEscape, NeverSplitsAnEntityNorWritesPastTheBuffer) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_STREQ(HtmlEscapeTo(out, 7, "a&b"), "a&amp;") << "a&amp;b needs 8 bytes";
    EXPECT_EQ(out[7], 'x');
    EXPECT_STREQ(HtmlEscapeTo(out, 6, "a&b"), "a") << "the entity does not fit whole";
    EXPECT_STREQ(HtmlEscapeTo(out, 1, "abc"), "");

    // The longest request value, every character an entity, fits the static buffers.
    std::string quotes(255, '"');
    EXPECT_EQ(std::strlen(HtmlEscape(quotes.c_str())), 255u * 6);
}

TEST(HtmlEscape, EightResultsLiveAtOnce) {
    const char *results[8];
    for (int i = 0; i < 8; ++i) results[i] = HtmlEscape(std::to_string(i).c_str());
    for (int i = 0; i < 8; ++i) EXPECT_STREQ(results[i], std::to_string(i).c_str());
}

ProductRecord product_with_discounts(std::initializer_list<std::tuple<int, int, float>> ranges) {
    ProductRecord p{};
    int i = 0;
    for (auto [lowest, highest, percent] : ranges) {
        p.discounts[i].min = lowest;
        p.discounts[i].max = highest;
        p.discount_percent[i] = percent;
        ++i;
    }
    return p;
}

float discount_for(const ProductRecord &p, int16_t quantity) {
    OrderItem item{};
    item.quantity = quantity;
    return QuantityDiscount(&item, &p);
}

TEST(QuantityDiscount, TheFirstRangeHoldingTheQuantityGivesThePercentage) {
    ProductRecord p = product_with_discounts({{1, 5, 10}, {6, 10, 15}});
    EXPECT_FLOAT_EQ(discount_for(p, 7), 0.15f);
    EXPECT_FLOAT_EQ(discount_for(p, 5), 0.10f);
    EXPECT_FLOAT_EQ(discount_for(p, 6), 0.15f);
    EXPECT_EQ(discount_for(p, 11), 0.0f);
    EXPECT_EQ(discount_for(p, 0), 0.0f);

    ProductRecord overlapping = product_with_discounts({{1, 10, 5}, {3, 4, 50}});
    EXPECT_FLOAT_EQ(discount_for(overlapping, 3), 0.05f);
    // The last of the five ranges counts too.
    ProductRecord last = product_with_discounts({{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}, {50, 99, 25}});
    EXPECT_FLOAT_EQ(discount_for(last, 60), 0.25f);
}

TEST(QuantityDiscount, ATableWhoseFirstRangeStartsAtZeroGivesNone) {
    ProductRecord p = product_with_discounts({{0, 5, 10}, {6, 10, 15}});
    EXPECT_EQ(discount_for(p, 7), 0.0f);
    EXPECT_EQ(discount_for(ProductRecord{}, 1), 0.0f);
}

TEST(ProductRules, AvailabilityNeedsStockOnlyWhenItIsCountedWithoutBackOrders) {
    ProductRecord p{};
    p.stock = 0;
    EXPECT_TRUE(ProductAvailable(&p)) << "stock not counted";
    p.flags = kProductCountStock;
    EXPECT_FALSE(ProductAvailable(&p));
    p.stock = -2;
    EXPECT_FALSE(ProductAvailable(&p));
    p.stock = 1;
    EXPECT_TRUE(ProductAvailable(&p));
    p.stock = 0;
    p.flags = kProductCountStock | kProductBackOrder;
    EXPECT_TRUE(ProductAvailable(&p));
}

TEST(ProductRules, WithoutAVerifiedShopperTheMemberPriceNeverApplies) {
    ProductRecord p{};
    p.flags = kProductMemberPrice;
    p.price = 8;
    p.member_price = 5;
    EXPECT_EQ(ProductPrice(&p), 8.0f);
    p.member_key[0] = '\0';  // even with no key to hold
    EXPECT_EQ(ProductPrice(&p), 8.0f);
}

TEST(CatalogueTexts, IdentifiersAndReferencesAsPagesWriteThem) {
    EXPECT_STREQ(PlusId("RED SHIRT XL"), "RED+SHIRT+XL");
    EXPECT_STREQ(PlusId("0123456789ABCDEFGH"), "0123456789ABCDE") << "cut to the field";
    EXPECT_STREQ(SlashPath("shirts\\red\\front.jpg"), "shirts/red/front.jpg");
    char id[] = "M";
    DecreaseLastChar(id);
    EXPECT_STREQ(id, "L");
    char two[] = "A5";
    DecreaseLastChar(two);
    EXPECT_STREQ(two, "A4");
    char none[] = "";
    DecreaseLastChar(none);
    EXPECT_STREQ(none, "");
}

std::string long_alias;
char *LongAlias(const char *) { return long_alias.data(); }

TEST(MakeEmail, JoinsAliasAndSuffixWithinItsBuffer) {
    char *(*saved)(const char *) = _alsofusr;
    char suffix[] = "@mall.example";
    char *saved_suffix = OptEmailSuffix;
    OptEmailSuffix = suffix;

    long_alias = "clerk";
    _alsofusr = LongAlias;
    EXPECT_STREQ(MakeEmail("anyone"), "clerk@mall.example");

    // 120 + 13 characters: cut at 127, the buffer's last byte its terminator.
    long_alias = std::string(120, 'a');
    std::string address = MakeEmail("anyone");
    EXPECT_EQ(address, std::string(120, 'a') + "@mall.e");
    long_alias = std::string(300, 'b');
    EXPECT_EQ(std::string(MakeEmail("anyone")), std::string(127, 'b'));

    _alsofusr = saved;
    OptEmailSuffix = saved_suffix;
}

// A scratch mall root for the tests that read files: the current directory while they run.
class ScratchRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/shopvera-cat-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        old_dir_ = fs::current_path();
        fs::current_path(dir_);
        saved_prefix_ = OptImagePrefix;
        OptImagePrefix = prefix_;
    }
    void TearDown() override {
        OptImagePrefix = saved_prefix_;
        fs::current_path(old_dir_);
        fs::remove_all(dir_);
    }
    static void touch(const std::string &path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "x";
    }

    std::string dir_;
    fs::path old_dir_;
    char prefix_[5] = "www/";
    char *saved_prefix_ = nullptr;
};

using ImageLocators = ScratchRoot;

TEST_F(ImageLocators, TheMallBackgroundIsTheJpgElseTheGif) {
    EXPECT_STREQ(GetMallImage(), "");
    touch("www/KVZSV/KVZSVBKG.gif");
    EXPECT_STREQ(GetMallImage(), "KVZSV/KVZSVBKG.gif");
    touch("www/KVZSV/KVZSVBKG.jpg");
    EXPECT_STREQ(GetMallImage(), "KVZSV/KVZSVBKG.jpg");
    fs::permissions("www/KVZSV/KVZSVBKG.jpg", fs::perms::none);
    if (geteuid() != 0) {
        EXPECT_STREQ(GetMallImage(), "KVZSV/KVZSVBKG.gif") << "a file that cannot be read is missing";
    }
}

TEST_F(ImageLocators, StoreAndDepartmentPicturesLieInTheirOwnDirectories) {
    touch("www/KVZSV/ACME/kvzsvbkg.JPG");
    touch("www/KVZSV/ACME/tools/hammer.gif");
    touch("www/KVZSV/ACME/acme.gif");
    EXPECT_STREQ(GetStoreBkg("ACME"), "KVZSV/ACME/KVZSVBKG.jpg");
    EXPECT_STREQ(GetStoreBkg("OTHER"), "");
    EXPECT_STREQ(GetStoreIcon("ACME", "acme.gif"), "KVZSV/ACME/acme.gif");
    EXPECT_STREQ(GetStoreIcon("ACME", "missing.gif"), "");
    EXPECT_STREQ(GetStoreIcon("ACME", ""), "") << "no icon: the directory itself is no picture";
    EXPECT_STREQ(GetDeptIcon("ACME", "TOOLS", "hammer.gif"), "KVZSV/ACME/TOOLS/hammer.gif");
    EXPECT_STREQ(GetDeptIcon("ACME", "GARDEN", "hammer.gif"), "");
}

TEST_F(ImageLocators, APartThatCouldLeaveItsDirectoryFindsNothing) {
    touch("www/KVZSVBKG.jpg");
    touch("www/KVZSV/ACME/acme.gif");
    touch("www/KVZSV/ACME/TOOLS/x.gif");
    EXPECT_STREQ(GetStoreBkg(".."), "");
    EXPECT_STREQ(GetStoreIcon("..", "KVZSVBKG.jpg"), "");
    EXPECT_STREQ(GetStoreIcon("ACME", "../ACME/acme.gif"), "");
    EXPECT_STREQ(GetStoreIcon("ACME\\..", "ACME\\acme.gif"), "");
    EXPECT_STREQ(GetDeptIcon("ACME", "..", "ACME/acme.gif"), "");
    EXPECT_STREQ(GetDeptIcon("ACME", "TOOLS", "../TOOLS/x.gif"), "");
    std::string long_name(250, 'n');
    touch("www/KVZSV/ACME/" + long_name);
    EXPECT_STREQ(GetStoreIcon("ACME", long_name.c_str()), "")
        << "a URL that does not fit its 256 bytes is no URL";
}

// FormatText reads the format file the mall library defines, here in the scratch root.
class FormatTexts : public ScratchRoot {
  protected:
    void SetUp() override {
        ScratchRoot::SetUp();
        host::datafile_set_directory(dir_);
        saved_file_ = Mall.format_file;
        saved_buffer_ = FormatBuffer;
        FormatBuffer = buffer_;
        Mall.format_file = OpenMallFile(MallFile::format);
        ASSERT_GT(Mall.format_file, 0);
        FormatRecord r{};
        _stlcpy(r.store_id, "ACME", sizeof r.store_id);
        _stlcpy(r.name, "SIZE", sizeof r.name);
        const char *choices[] = {"Small", "Medium", "Large", "", "", "Giant"};
        for (int i = 0; i < kFormatChoices; ++i) _stlcpy(r.choices[i], choices[i], kFormatChoiceSize);
        _dfaSetBlk(Mall.format_file);
        ASSERT_TRUE(_dfaInsert(&r));
        _dfaRstBlk();
    }
    void TearDown() override {
        host::datafile_close_all();
        Mall.format_file = saved_file_;
        FormatBuffer = saved_buffer_;
        ScratchRoot::TearDown();
    }
    char buffer_[kFormatBufferSize];
    HostFile saved_file_ = 0;
    char *saved_buffer_ = nullptr;
};

TEST_F(FormatTexts, AChoiceOfAStoresFormat) {
    EXPECT_STREQ(FormatText("ACME", "SIZE", 2), "Large");
    EXPECT_STREQ(FormatText("acme", "size", 0), "Small") << "keys ignore letter case";
    EXPECT_STREQ(FormatText("ACME", "SIZE", 5), "Giant");
    EXPECT_STREQ(FormatText("ACME", "SIZE", 3), "");
    EXPECT_STREQ(FormatText("ACME", "COLOUR", 0), "");
    EXPECT_STREQ(FormatText("OTHER", "SIZE", 0), "");
    // An item without a choice carries -1; only the six choices are texts.
    EXPECT_STREQ(FormatText("ACME", "SIZE", -1), "");
    EXPECT_STREQ(FormatText("ACME", "SIZE", 6), "");
}

}  // namespace
