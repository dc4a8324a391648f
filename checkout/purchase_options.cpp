// The purchase options page ("purchopt"): keeps the shipping method the shopper chose, previews
// the order's amounts and lists the ways to pay the store allows, or goes straight on to the
// totals when there is nothing to pay.
#include "catalogue/rules.h"
#include "orders/amounts.h"
#include "checkout/checkout.h"
#include "checkout/options.h"
#include "checkout/shipping.h"
#include "orders/slots.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

struct Preview {
    float subtotal = 0;
    float weight = 0;
    float handling = 0;
    float shipping = 0;
};

// The order's amounts as the totals page will compute them, kept nowhere.
Preview PreviewOrder(const OrderSlot *order, const ShippingMethod &method) {
    Preview preview;
    for (int i = 0; i < order->count && i < kOrderSlotItems; ++i) {
        const OrderItem &item = order->items[i];
        const ProductRecord *product = ReadProduct(item.store_id, item.dept_id, item.product_id);
        if (product == nullptr) continue;
        float unit = UnitPriceCharged(ProductPrice(product), QuantityDiscount(&item, product));
        preview.subtotal = AddAmount(preview.subtotal, static_cast<double>(item.quantity) * unit);
        preview.weight = AddAmount(preview.weight, static_cast<double>(item.quantity) * item.unit_weight);
        if (method.handling)
            preview.handling = AddAmount(preview.handling,
                                         ItemHandling(item.quantity, product->handling_first, product->handling_more));
    }
    preview.shipping = ShippingCharge(preview.weight, method.first, method.more);
    return preview;
}

}  // namespace

void ShowPurchaseOptions() {
    OrderSlot *order = CurrentOrder();
    if (order == nullptr) {
        Error(_getMsgBlk(45));
        return;
    }
    char posted[kShippingLineSize], chosen[kShippingLineSize];
    TakeParam(posted, sizeof posted, "SHIPOPT");
    if (!ShippingLineOffered(order, posted, chosen)) {
        Error(_getMsgBlk(38));
        return;
    }
    _stzcpy(order->shipping_line, chosen, sizeof order->shipping_line);
    order->priced = 0;

    ShippingMethod method = ParseShippingLine(order->shipping_line);
    Preview preview = PreviewOrder(order, method);

    STable table;
    SetCommonEntries(&table);
    const CheckoutStore shop = OpenCheckoutStore(&table, order->store_id);
    if (shop.store == nullptr) return;

    // Tax plays no part here: an order that costs nothing before tax needs no payment.
    if (preview.subtotal == 0 && preview.shipping == 0 && preview.handling == 0) {
        order->purchase_option = kOptionNothingToPay;
        ShowTotalOrder(&table);
        return;
    }

    const ExtendedStoreRecord *ext = shop.ext;
    uint16_t allowed = AllowedOptions(order, ext);
    uint16_t general = ext->options, download = ext->download_options;
    TraceLine("Purchase options are %d, %d, %d", allowed, general, download);

    CParse parse("SWORDPO.HTM", &table, "kvzsvw\\", WebOut, order->store_id);
    parse.Parse();
    for (int bit = 0; bit < kListedOptionBits; ++bit) {
        uint16_t value = static_cast<uint16_t>(1u << bit);
        if (!OptionOffered(value, allowed, shop.store)) continue;
        table.Set("POPT", TextPopt(static_cast<int16_t>(value)));
        table.SetLong("VPOPT", value);
        parse.Repeat();
    }
    parse.Parse();
}
