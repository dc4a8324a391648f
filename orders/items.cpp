// Order items: every change of the shopper's order goes through AddOrderProduct, which also
// creates the shopper's slot on the first product.
#include "orders/items.h"

#include <cstring>

#include "orders/slots.h"

namespace {

const ProductRecord *Product() { return reinterpret_cast<const ProductRecord *>(ProductBuffer); }

// Download flag, flags and weight of the product as the item keeps them.
void CopyProductFacts(OrderItem *item, int position) {
    const ProductRecord *product = Product();
    item->download = product->download[0] != '\0' ? 1 : 0;
    if (item->download) TraceLine("Order set to dload %d %s", position, item->product_id);
    item->flags = product->flags;
    item->unit_weight = product->weight;
}

// The part of the quantity beyond the stock on hand, for a product whose stock is counted. The
// stock is taken whole: cut to 16 bits, a stock above 32767 would turn into a shortage, or a
// back order larger than the quantity itself.
int16_t BackOrdered(int16_t quantity) {
    const ProductRecord *product = Product();
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

}  // namespace

int16_t AddOrderProduct(const OrderItem &request) {
    const in_addr peer = _tcpipinf[_usrnum].peer;
    OrderSlot *slot = nullptr;
    int empty = -1;
    for (int i = 0; i < kOrderSlots; ++i) {
        if (OrderSlots[i] == nullptr) {
            if (empty < 0) empty = i;
        } else if (std::memcmp(&OrderSlots[i]->shopper, &peer, sizeof peer) == 0) {
            slot = OrderSlots[i];
            break;
        }
    }
    if (slot == nullptr) {
        if (empty < 0) return kAddNoSlot;
        slot = static_cast<OrderSlot *>(_hmalloc(sizeof(OrderSlot)));
        // A slot the allocator cannot give is the same to the shopper as a full table.
        if (slot == nullptr) return kAddNoSlot;
        std::memset(slot, 0, sizeof *slot);
        slot->shopper = peer;
        slot->count = 0;
        slot->lifetime = kSlotLifetime;
        OrderSlots[empty] = slot;
    }

    // A full order takes no further product, but its items can still be changed or removed:
    // a shopper with ten items is never stuck with them.
    int existing = FindItem(slot, request.product_id);
    if (existing < 0 && slot->count + 1 > kOrderSlotItems) return kAddOrderFull;

    ProductKey1 key{};
    _stzcpy(key.store_id, request.store_id, sizeof key.store_id);
    _stzcpy(key.dept_id, request.dept_id, sizeof key.dept_id);
    _stzcpy(key.product_id, request.product_id, sizeof key.product_id);
    _dfaSetBlk(Mall.product_file);
    HostBool found = _dfaAcqLock(ProductBuffer, &key, kProductKeyDept, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (!found) return kAddNoProduct;
    const ProductRecord *product = Product();

    if (existing >= 0) {
        int i = existing;
        if (request.quantity == 0) {
            std::memmove(&slot->items[i], &slot->items[i + 1],
                         sizeof(OrderItem) * static_cast<size_t>(slot->count - i - 1));
            --slot->count;
            std::memset(&slot->items[slot->count], 0, sizeof(OrderItem));
            slot->priced = 0;
            return slot->count;
        }
        // A change to a negative quantity would leave a line that no page can price.
        if (request.quantity < 0) return kAddBadQuantity;
        OrderItem *item = &slot->items[i];
        *item = request;
        CopyProductFacts(item, i);
        item->back_ordered = BackOrdered(item->quantity);
        slot->priced = 0;
        return slot->count;
    }

    if (slot->count == 0) {
        _stzcpy(slot->store_id, product->store_id, sizeof slot->store_id);
    } else if (!_sameas(product->store_id, slot->store_id)) {
        return kAddOtherStore;
    }
    if (request.quantity < 1) return kAddBadQuantity;
    if ((product->flags & kProductFormatRequired) &&
        ((product->format1[0] != '\0' && request.choice1 == -1) ||
         (product->format2[0] != '\0' && request.choice2 == -1)))
        return kAddFormatMissing;

    OrderItem *item = &slot->items[slot->count];
    *item = request;
    CopyProductFacts(item, slot->count);
    item->back_ordered = BackOrdered(item->quantity);
    slot->priced = 0;
    return ++slot->count;
}

void GetOrderItem(OrderItem *item) {
    char product_id[kProductIdSize];
    _stzcpy(product_id, item->product_id, sizeof product_id);
    if (CurrentOrder != nullptr) {
        for (int i = 0; i < CurrentOrder->count; ++i) {
            if (_sameas(CurrentOrder->items[i].product_id, product_id)) {
                *item = CurrentOrder->items[i];
                return;
            }
        }
    }
    std::memset(item, 0, sizeof *item);
    item->choice1 = -1;
    item->choice2 = -1;
    if (CurrentOrder == nullptr) TraceLine("Order item not found");
}
