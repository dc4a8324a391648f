// Order slots, the current order and the cart links.
#include "orders/slots.h"

#include <cstring>

#include "template/stable.h"

OrderSlot *OrderSlots[kOrderSlots];
int16_t CurrentSlot = -1;
OrderSlot *CurrentOrder = nullptr;

void ClearOrderSlots() {
    for (OrderSlot *&slot : OrderSlots) slot = nullptr;
}

void FreeOrderSlots() {
    for (OrderSlot *&slot : OrderSlots) {
        if (slot != nullptr) _hfree(slot);
        slot = nullptr;
    }
    CurrentSlot = -1;
    CurrentOrder = nullptr;
}

int16_t FindOrderSlot() {
    const in_addr peer = _tcpipinf[_usrnum].peer;
    for (int16_t i = 0; i < kOrderSlots; ++i) {
        OrderSlot *slot = OrderSlots[i];
        if (slot != nullptr && std::memcmp(&slot->shopper, &peer, sizeof peer) == 0) {
            slot->lifetime = kSlotLifetime;
            return i;
        }
    }
    return -1;
}

void FindCurrentOrder() {
    CurrentSlot = FindOrderSlot();
    CurrentOrder = CurrentSlot >= 0 ? OrderSlots[CurrentSlot] : nullptr;
}

void SetOrderLinks(STable *table) {
    bool order = CurrentOrder != nullptr;
    table->Set("SHOP", _getMsgBlk(order ? 25 : 26));
    table->Set("CORD", _getMsgBlk(order ? 19 : 20));
    table->Set("KILL", _getMsgBlk(order ? 22 : 23));
}
