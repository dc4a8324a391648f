// Order items: every change of the shopper's order goes through AddOrderProduct, which also
// creates the shopper's slot on the first product.
#include "orders/items.h"

#include <cstring>

#include "catalogue/rules.h"
#include "orders/slots.h"
#include "shell/buffers.h"
#include "shell/companion_entries.h"

namespace {

// Download flag, flags and weight of the product as the item keeps them.
void CopyProductFacts(OrderItem *item, int position, const ProductRecord *product) {
    item->download = product->download[0] != '\0' ? 1 : 0;
    if (item->download) TraceLine("Order set to dload %d %s", position, item->product_id);
    item->flags = product->flags;
    item->unit_weight = product->weight;
}

// The part of the quantity beyond the stock on hand, for a product whose stock is counted. The
// stock is taken whole: cut to 16 bits, a stock above 32767 would turn into a shortage, or a
// back order larger than the quantity itself.
int16_t BackOrdered(int16_t quantity, const ProductRecord *product) {
    int32_t stock = product->stock;
    if (!(product->flags & kProductCountStock) || quantity <= stock) return 0;
    return stock <= 0 ? quantity : static_cast<int16_t>(quantity - stock);
}

// The position of the slot's item for product_id (letter case ignored), or -1.
int FindItem(const OrderSlot *slot, const char *product_id) {
    for (int i = 0; i < slot->count; ++i)
        if (_sameas(slot->items[i].product_id, product_id)) return i;
    return -1;
}

// Whether choice is one the product offers for its format format_name (-1: no choice made).
// The offered set has bit first_bit + n for choice n; a choice must also exist in the store's
// format, as the product page lists them.
bool ChoiceOffered(const char *store_id, const char *format_name, uint32_t offered, int first_bit,
                   int16_t choice) {
    if (choice == -1) return true;
    if (format_name[0] == '\0' || choice < 0 || choice >= kFormatChoices ||
        !(offered & (1u << (first_bit + choice))))
        return false;
    const FormatRecord *format = ReadFormat(store_id, format_name);
    return format != nullptr && format->choices[choice][0] != '\0';
}

// The format choices of an item of the product: each one offered, and one made for every format
// when the product requires it. An item with a choice the product does not offer would be stored
// with a format nobody can deliver.
bool ChoicesAcceptable(const OrderItem &request, const ProductRecord *product) {
    char store_id[kStoreIdSize], format1[kFormatNameSize], format2[kFormatNameSize];
    _stzcpy(store_id, product->store_id, sizeof store_id);
    _stzcpy(format1, product->format1, sizeof format1);
    _stzcpy(format2, product->format2, sizeof format2);
    const uint32_t offered = product->offered;
    const uint16_t flags = product->flags;
    if ((flags & kProductFormatRequired) &&
        ((format1[0] != '\0' && request.choice1 == -1) || (format2[0] != '\0' && request.choice2 == -1)))
        return false;
    return ChoiceOffered(store_id, format1, offered, 0, request.choice1) &&
           ChoiceOffered(store_id, format2, offered, 8, request.choice2);
}

// A product whose stock is counted and that takes no back orders sells at most what is on hand.
bool WithinStock(int16_t quantity, const ProductRecord *product) {
    if (!(product->flags & kProductCountStock) || (product->flags & kProductBackOrder)) return true;
    return quantity <= product->stock;
}

// A slot this call created, and the add then refused: the shopper is left without an order, as
// before the call.
int16_t Refuse(int16_t result, OrderSlot *created) {
    if (created != nullptr) FreeOrderSlot(created);
    return result;
}

}  // namespace

int16_t AddOrderProduct(const OrderItem &request) {
    const in_addr peer = _tcpipinf[_usrnum].peer;
    OrderSlot *slot = OrderSlotOf(peer);
    OrderSlot *created = nullptr;
    if (slot == nullptr) {
        // A slot the allocator cannot give is the same to the shopper as a full table.
        slot = NewOrderSlot(peer);
        if (slot == nullptr) return kAddNoSlot;
        created = slot;
    }

    // A full order takes no further product, but its items can still be changed or removed:
    // a shopper with ten items is never stuck with them.
    int existing = FindItem(slot, request.product_id);
    if (existing < 0 && slot->count + 1 > kOrderSlotItems) return Refuse(kAddOrderFull, created);

    // Taking an item out needs nothing of its product, which may have left the catalogue.
    if (existing >= 0 && request.quantity == 0) {
        int i = existing;
        std::memmove(&slot->items[i], &slot->items[i + 1],
                     sizeof(OrderItem) * static_cast<size_t>(slot->count - i - 1));
        --slot->count;
        std::memset(&slot->items[slot->count], 0, sizeof(OrderItem));
        slot->priced = 0;
        return slot->count;
    }

    ProductKey1 key{};
    _stzcpy(key.store_id, request.store_id, sizeof key.store_id);
    _stzcpy(key.dept_id, request.dept_id, sizeof key.dept_id);
    _stzcpy(key.product_id, request.product_id, sizeof key.product_id);
    _dfaSetBlk(Mall.product_file);
    HostBool found = _dfaAcqLock(ProductBuffer, &key, kProductKeyDept, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (!found) return Refuse(kAddNoProduct, created);
    const ProductRecord *product = reinterpret_cast<const ProductRecord *>(ProductBuffer);

    if (existing >= 0) {
        int i = existing;
        // A change to a negative quantity would leave a line that no page can price.
        if (request.quantity < 0) return kAddBadQuantity;
        if (!ChoicesAcceptable(request, product)) return kAddFormatMissing;
        if (!WithinStock(request.quantity, product)) return kAddBeyondStock;
        OrderItem *item = &slot->items[i];
        *item = request;
        CopyProductFacts(item, i, product);
        item->back_ordered = BackOrdered(item->quantity, product);
        slot->priced = 0;
        return slot->count;
    }

    if (slot->count != 0 && !_sameas(product->store_id, slot->store_id)) return Refuse(kAddOtherStore, created);
    if (request.quantity < 1) return Refuse(kAddBadQuantity, created);
    if (!ChoicesAcceptable(request, product)) return Refuse(kAddFormatMissing, created);
    if (!WithinStock(request.quantity, product)) return Refuse(kAddBeyondStock, created);
    // The order's store is taken only once the product is in: a refused add leaves it alone.
    if (slot->count == 0) _stzcpy(slot->store_id, product->store_id, sizeof slot->store_id);

    OrderItem *item = &slot->items[slot->count];
    *item = request;
    CopyProductFacts(item, slot->count, product);
    item->back_ordered = BackOrdered(item->quantity, product);
    slot->priced = 0;
    return ++slot->count;
}

void GetOrderItem(OrderItem *item) {
    char product_id[kProductIdSize];
    _stzcpy(product_id, item->product_id, sizeof product_id);
    const OrderSlot *order = CurrentOrder();
    if (order != nullptr) {
        for (int i = 0; i < order->count; ++i) {
            if (_sameas(order->items[i].product_id, product_id)) {
                *item = order->items[i];
                return;
            }
        }
    }
    std::memset(item, 0, sizeof *item);
    item->choice1 = -1;
    item->choice2 = -1;
    if (order == nullptr) TraceLine("Order item not found");
}
