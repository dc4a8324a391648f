// The totals page: prices every item of the current order, adds shipping by weight, handling
// and the store's taxes, keeps the results in the order and renders "SWFINAL.HTM" (anonymous
// shopper, who gives an e-mail address there) or "SWFINALU.HTM" (verified user), whose form
// posts the order questions' answers to "submit".
//
// Taxes come from the store's KVZSVTAX.CFG: lines of "place~rate in percent", where a place
// applies when it begins with the shopper's shipping city, state, zip code or country, as the
// store's tax settings choose for each of the two rates.
#include <cstdio>
#include <cstdlib>

#include "catalogue/rules.h"
#include "orders/amounts.h"
#include "checkout/checkout.h"
#include "checkout/options.h"
#include "checkout/shipping.h"
#include "orders/slots.h"
#include "shell/numbers.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr char kTaxFile[] = "KVZSVTAX.CFG";
constexpr uint32_t kTaxSelectorMask = 7;
constexpr int kSecondTaxShift = 3;
constexpr uint32_t kCompoundTax = 64;

// The shipping field a tax selector names (1 city, 2 state, 3 zip, 4 country), as a text of
// its own; "" for a selector that names none.
void TaxKey(char *key, int size, const CustomerRecord *customer, uint32_t selector) {
    const char *field = "";
    int width = 1;
    switch (selector) {
    case 1: field = customer->scity, width = sizeof customer->scity; break;
    case 2: field = customer->sstate, width = sizeof customer->sstate; break;
    case 3: field = customer->szip, width = sizeof customer->szip; break;
    case 4: field = customer->scountry, width = sizeof customer->scountry; break;
    default: break;
    }
    _stzcpy(key, field, width < size ? width : size);
}


// "PFMT1" or "PFMT2" of an item: its choice of the product's format, "-" for none.
void SetFormatEntry(STable *table, const char *name, const char *store_id, const char *format, int16_t choice) {
    table->Set(name, ChoiceText(store_id, format, choice));
}

void SetWeight(STable *table, const char *name, float weight) {
    char text[32];
    FixedText(weight, 4, text, sizeof text);
    table->Set(name, text);
}

}  // namespace

// Both rates of the order from the store's tax file; 0 where no line applies or there is no
// file. A later line that applies sets its rate again, until both rates are found non-zero.
void ReadTaxRates(OrderSlot *order, const char *store_id, uint32_t settings) {
    order->tax_rate1 = 0;
    order->tax_rate2 = 0;
    char path[kConfigPathSize];
    FILE *file = OpenStoreConfig(store_id, kTaxFile, path);
    if (file == nullptr) return;
    char key1[32], key2[32];
    TaxKey(key1, sizeof key1, &order->customer, settings & kTaxSelectorMask);
    TaxKey(key2, sizeof key2, &order->customer, (settings >> kSecondTaxShift) & kTaxSelectorMask);
    if (key1[0] != '\0' || key2[0] != '\0') {
        char line[kConfigLineSize];
        while (!(order->tax_rate1 != 0 && order->tax_rate2 != 0) && NextConfigLine(file, line)) {
            if (key1[0] != '\0' && _sameto(key1, line))
                order->tax_rate1 = static_cast<float>(std::atof(_itemidxd(line, 1, "~")));
            else if (key2[0] != '\0' && _sameto(key2, line))
                order->tax_rate2 = static_cast<float>(std::atof(_itemidxd(line, 1, "~")));
        }
    }
    std::fclose(file);
}

MODULE_EXPORT void ShowTotalOrder(STable *table) {
    OrderSlot *order = CurrentOrder();
    const ExtendedStoreRecord *ext = ExtStoreRec();
    char store_id[kStoreIdSize];
    _stzcpy(store_id, order->store_id, sizeof store_id);
    uint32_t settings = ext->tax_settings;

    CParse parse(UserVerified() ? "SWFINALU.HTM" : "SWFINAL.HTM", table, "kvzsvw\\", WebOut, store_id);
    table->SetLong("NITEMS", order->count);
    SetCustomerEntries(table, &order->customer);
    table->Set("WEIGHTFMT", ext->weight_format);
    table->Set("PAYTYPE", TextPopt(static_cast<int16_t>(order->purchase_option)));
    parse.Parse();

    ReadTaxRates(order, store_id, settings);
    float rate1 = order->tax_rate1, rate2 = order->tax_rate2;
    bool compound = (settings & kCompoundTax) != 0;
    ShippingMethod method = ParseShippingLine(order->shipping_line);
    table->Set("SHIPNAME", HtmlEscape(method.name));

    order->subtotal = 0;
    order->handling = 0;
    order->tax = 0;
    order->weight_total = 0;
    for (int i = 0; i < order->count && i < kOrderSlotItems; ++i) {
        OrderItem *item = &order->items[i];
        const ProductRecord *product = ReadProduct(item->store_id, item->dept_id, item->product_id);
        if (product == nullptr) continue;
        table->Set("PID", HtmlEscape(item->product_id));
        table->Set("PRODNAME", product->name);
        if (item->download) {
            table->Set("PFMT1", "DOWNLOAD");
            table->Set("PFMT2", "-");
        } else {
            SetFormatEntry(table, "PFMT1", store_id, product->format1, item->choice1);
            SetFormatEntry(table, "PFMT2", store_id, product->format2, item->choice2);
        }
        table->SetLong("QUANT", item->quantity);
        table->SetLong("QUANTBO", item->back_ordered);

        float discount = QuantityDiscount(item, product);
        float unit = UnitPriceCharged(ProductPrice(product), discount);
        item->unit_price = unit;
        item->discount = discount;
        double amount = static_cast<double>(item->quantity) * unit;
        table->SetFloat("PRODPRICE", unit);
        table->SetFloat("EXTPRICE", static_cast<float>(amount));
        order->subtotal = AddAmount(order->subtotal, amount);
        order->weight_total = AddAmount(order->weight_total, static_cast<double>(item->quantity) * item->unit_weight);
        if (method.handling)
            order->handling = AddAmount(order->handling,
                                        ItemHandling(item->quantity, product->handling_first, product->handling_more));

        uint16_t flags = product->flags;
        bool exempt = (flags & kProductTaxExemptKey) && SmartKey(product->tax_exempt_key);
        if ((flags & kProductTaxable) && !exempt)
            order->tax = AddLineTax(order->tax, amount, rate1, rate2, compound);
        parse.Repeat();
    }

    table->SetFloat("SUBTOTAL", order->subtotal);
    SetWeight(table, "WEIGHTTOTAL", order->weight_total);
    order->shipping = ShippingCharge(order->weight_total, method.first, method.more);
    table->SetFloat("SHIPPING", order->shipping);
    table->SetFloat("HANDLING", order->handling);
    table->SetFloat("TAX", order->tax);
    double total = static_cast<double>(order->subtotal) + order->shipping + order->handling + order->tax;
    table->SetFloat("TOTAL", static_cast<float>(total));
    parse.Parse();

    for (int i = 0; i < kQuestions; ++i) {
        if (ext->questions[i][0] == '\0') continue;
        char name[8];
        std::snprintf(name, sizeof name, "IA%d", i);
        table->Set("QUES", ext->questions[i]);
        table->Set("IA", name);
        parse.Repeat();
    }
    parse.Parse();
    order->priced = 1;
}
