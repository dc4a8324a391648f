// Purchase option values, the sets of allowed options and the option texts.
#include "checkout/options.h"

#include "shell/companion_entries.h"
#include "web/params.h"
#include "web/request.h"

MODULE_EXPORT int16_t TranslatePopt(int16_t value) {
    if (value == static_cast<int16_t>(kOptionNothingToPay)) return value;
    int16_t bit = 0;
    for (int v = value; v / 2 > 0; v /= 2) ++bit;
    return bit;
}

MODULE_EXPORT const char *TextPopt(int16_t value) {
    if (value == static_cast<int16_t>(kOptionNothingToPay)) return _getMsgBlk(27);
    int16_t bit = TranslatePopt(value);
    // The table has eleven entries; a value beyond bit 10 has no name.
    if (bit < 0 || bit >= kMallOptionTexts) return "";
    const char *text = Mall.option_text[bit];
    return text != nullptr ? text : "";
}

bool OrderHasDownload(const OrderSlot *order) {
    for (int i = 0; i < order->count && i < kOrderSlotItems; ++i)
        if (order->items[i].download) return true;
    return false;
}

uint16_t AllowedOptions(const OrderSlot *order, const ExtendedStoreRecord *ext) {
    return OrderHasDownload(order) ? ext->download_options : ext->options;
}

bool OptionOffered(uint16_t value, uint16_t allowed, const StoreRecord *store) {
    if ((value & allowed) == 0) return false;
    switch (value) {
    case kOptionPurchaseOrder: return SmartKey(store->po_key) != 0;
    case kOptionMember: return UserVerified() != 0;
    case kOptionCheck: return false;
    default: return value != 0 && (value & (value - 1)) == 0;
    }
}

bool IsCardOption(uint16_t value) {
    return value == kOptionCard1 || value == kOptionCard2 || value == kOptionCard4 ||
           value == kOptionCard8 || value == kOptionCard16;
}
