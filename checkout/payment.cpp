// The payment step: "startpurch" records the way to pay the shopper picked and asks for the card
// or purchase-order details, or goes on to the totals when none are needed; "complete" takes
// the details, has the card checked and shows the totals.
#include "checkout/payment.h"

#include <cstring>
#include <ctime>

#include "catalogue/rules.h"
#include "checkout/checkout.h"
#include "checkout/options.h"
#include "checkout/shipping.h"
#include "orders/slots.h"
#include "shell/companion_entries.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr int kTypeSize = 5;  // "type" is taken at 4 characters

// What of each payment field a form may fill, terminator included.
constexpr int kHolderTake = kPaymentTextSize;  // 29 characters
constexpr int kAddressTake = kPaymentTextSize;
constexpr int kZipTake = 10;                   // 9 characters
constexpr int kNumberTake = 20;                // 19 characters, separators included
constexpr int kExpiryTake = 6;                 // 5 characters, "MM/YY"

void ClearPayment(PaymentDetails *payment) { std::memset(payment, 0, sizeof *payment); }

// A shopper who skipped the shipping choice, or whose order no longer gets the method chosen
// earlier, would otherwise reach the totals with charges nobody offered.
bool ShippingChosen(const OrderSlot *order) {
    if (ShippingLineOffered(order, order->shipping_line, nullptr)) return true;
    Error(_getMsgBlk(38));
    return false;
}

void CardForm(STable *table, const OrderSlot *order, uint16_t option) {
    const PaymentDetails *payment = &order->payment;
    table->Set("POPT", TextPopt(static_cast<int16_t>(option)));
    table->SetLong("OPTVAL", option);
    table->Set("CCNAME", HtmlEscape(payment->holder));
    table->Set("CCNUM", HtmlEscape(payment->number));
    table->Set("CCEXP", HtmlEscape(payment->expiry));
    table->Set("CCADDR", HtmlEscape(payment->address));
    table->Set("CCZIP", HtmlEscape(payment->zip));
    CParse parse("SWPRCHCC.HTM", table, "kvzsvw\\", WebOut, order->store_id);
    parse.Parse();
}

// The card details from the form into the order, each tidied as soon as it is taken. Either
// mall library routine may be missing from the library; the text then stays as typed.
void TakeCardDetails(PaymentDetails *payment) {
    TakeParam(payment->holder, kHolderTake, "CCNAME");
    TakeParam(payment->number, kNumberTake, "CCNUM");
    KeepDigits(payment->number);
    TakeParam(payment->expiry, kExpiryTake, "CCEXP");
    KeepDigits(payment->expiry);
    TakeParam(payment->address, kAddressTake, "CCADDR");
    if (pStrip2Addr != nullptr) pStrip2Addr(payment->address);
    payment->address[kPaymentTextSize - 1] = '\0';
    TakeParam(payment->zip, kZipTake, "CCZIP");
    if (pStrip2Zip != nullptr) pStrip2Zip(payment->zip);
    payment->zip[kPaymentTextSize - 1] = '\0';
}

}  // namespace

void KeepDigits(char *text) {
    char *out = text;
    for (const char *p = text; *p != '\0'; ++p)
        if (*p >= '0' && *p <= '9') *out++ = *p;
    *out = '\0';
}

bool ValidateExpiryAt(char *expiry, int month, int year, int max_years) {
    size_t length = std::strlen(expiry);
    if (length != 3 && length != 4) return false;
    auto digit = [&](size_t i) { return expiry[i] - '0'; };
    int card_month = length == 3 ? digit(0) : digit(0) * 10 + digit(1);
    int card_year = digit(length - 2) * 10 + digit(length - 1);
    if (card_month == 0 || card_year == 0) return false;
    if (card_year < 97) card_year += 100;
    if (card_month < 1 || card_month > 12) return false;
    if (card_year < year || card_year > year + max_years) return false;
    if (card_year == year && card_month < month) return false;
    int yy = card_year % 100;
    expiry[0] = static_cast<char>('0' + card_month / 10);
    expiry[1] = static_cast<char>('0' + card_month % 10);
    expiry[2] = static_cast<char>('0' + yy / 10);
    expiry[3] = static_cast<char>('0' + yy % 10);
    expiry[4] = '\0';
    return true;
}

bool ValidateExpiry() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return ValidateExpiryAt(CurrentOrder()->payment.expiry, local.tm_mon + 1, local.tm_year, Mall.max_card_years);
}

int16_t CardTypeCode(uint16_t option) {
    return option == kOptionCard16 ? kCardTypeJcb : static_cast<int16_t>(option);
}

// A check the card library lacks cannot vouch for a card: its absence refuses it.
int32_t CheckCreditCard() {
    const char *number = CurrentOrder()->payment.number;
    if (pCardNumCheck == nullptr || pCardNumCheck(number) != 0) return -1;
    if (pBadCardCheck == nullptr || pBadCardCheck(number, "", 2) != 0) return -2;
    if (pCardTypeCheck == nullptr || pCardTypeCheck(number, CardTypeCode(CurrentOrder()->purchase_option)) != 0)
        return -3;
    return 0;
}

void StartPurchase() {
    OrderSlot *order = CurrentOrder();
    if (order == nullptr) {
        Error(_getMsgBlk(45));
        return;
    }
    int16_t chosen = 0;
    if (!ShortParam("popt", &chosen) || chosen == 0) {
        Error(_getMsgBlk(37));
        return;
    }

    STable table;
    SetCommonEntries(&table);
    const CheckoutStore shop = OpenCheckoutStore(&table, order->store_id);
    if (shop.store == nullptr) return;
    uint16_t option = static_cast<uint16_t>(chosen);
    if ((option & AllowedOptions(order, shop.ext)) == 0) {
        Error(_getMsgBlk(37));
        return;
    }
    // New payment details are on their way: the totals shown before them no longer stand until
    // they are shown again, so an order whose details are then refused cannot be submitted.
    order->priced = 0;
    order->purchase_option = option;
    _stlcpy(order->purchase_user, UserVerified() ? CurrentUserId() : "", sizeof order->purchase_user);

    // The shipping method is checked once the option itself is accepted, just before the page
    // that goes on with it.
    switch (option) {
    case kOptionCard1:
    case kOptionCard2:
    case kOptionCard4:
    case kOptionCard8:
    case kOptionCard16:
        if (!ShippingChosen(order)) return;
        CardForm(&table, order, option);
        return;
    case kOptionPurchaseOrder:
        if (!SmartKey(shop.store->po_key)) {
            Error(_getMsgBlk(43));
            return;
        }
        if (!ShippingChosen(order)) return;
        {
            CParse parse("SWPRCHPO.HTM", &table, "kvzsvw\\", WebOut, order->store_id);
            parse.Parse();
        }
        return;
    case kOptionMember:
        if (!UserVerified()) {
            Error(_getMsgBlk(37));
            return;
        }
        [[fallthrough]];
    case kOptionNoDetails32:
    case kOptionNoDetails128:
    case kOptionNoDetails256:
        if (!ShippingChosen(order)) return;
        ClearPayment(&order->payment);
        ShowTotalOrder(&table);
        return;
    case kOptionCheck:
        Error("Check purchases are not supported currently");
        return;
    default:
        Error(_getMsgBlk(37));
        return;
    }
}

MODULE_EXPORT void CompletePurchase(void) {
    OrderSlot *order = CurrentOrder();
    if (order == nullptr) {
        Error(_getMsgBlk(45));
        return;
    }
    // Whatever the details bring, the totals shown earlier were for the details the order held
    // then; only the totals page at the end of this step prices the order again.
    order->priced = 0;
    char type[kTypeSize];
    TakeParam(type, sizeof type, "type");
    PaymentDetails *payment = &order->payment;
    // What the order held before a purchase order was taken, for a refusal after the fact.
    const PaymentDetails before = *payment;
    bool purchase_order = false;

    if (_sameas(type, "CC")) {
        TakeCardDetails(payment);
        if (payment->holder[0] == '\0') {
            Error(_getMsgBlk(41));
            return;
        }
        int32_t checked = CheckCreditCard();
        TraceLine("CheckCreditCard() returned %d", checked);
        if (checked != 0) {
            payment->number[0] = '\0';
            Error(_getMsgBlk(39));
            return;
        }
        if (!ValidateExpiry()) {
            payment->expiry[0] = '\0';
            Error(_getMsgBlk(34));
            return;
        }
        if (payment->address[0] == '\0') {
            Error(_getMsgBlk(33));
            return;
        }
        if (payment->zip[0] == '\0') {
            Error(_getMsgBlk(40));
            return;
        }
    } else if (_sameas(type, "PO")) {
        TakeParam(payment->holder, kHolderTake, "PONUMBER");
        if (payment->holder[0] == '\0') {
            Error(_getMsgBlk(45));
            return;
        }
        std::memset(payment->address, 0, sizeof payment->address);
        std::memset(payment->zip, 0, sizeof payment->zip);
        std::memset(payment->number, 0, sizeof payment->number);
        std::memset(payment->expiry, 0, sizeof payment->expiry);
        purchase_order = true;
    } else {
        Error(_getMsgBlk(28));
        return;
    }

    STable table;
    SetCommonEntries(&table);
    const CheckoutStore shop = OpenCheckoutStore(&table, order->store_id);
    if (shop.store == nullptr) return;
    // A purchase order stands in for payment, so it is taken only for the purchase-order
    // option, and only from a shopper who holds the store's purchase-order key: the key check
    // of the option itself would mean nothing otherwise. Refused, the order keeps the details
    // it had.
    if (purchase_order) {
        if (order->purchase_option != kOptionPurchaseOrder) {
            *payment = before;
            Error(_getMsgBlk(37));
            return;
        }
        if (!SmartKey(shop.store->po_key)) {
            *payment = before;
            Error(_getMsgBlk(43));
            return;
        }
    }
    if (!ShippingChosen(order)) return;
    ShowTotalOrder(&table);
}
