// The sweep of abandoned orders: a shopper who sends no request for 30 periods of 10 seconds
// loses the order.
#include <arpa/inet.h>

#include "orders/slots.h"

MODULE_EXPORT void CheckUsers(void) {
    int live = 0;
    for (OrderSlot *&slot : OrderSlots) {
        if (slot == nullptr) continue;
        if (--slot->lifetime > 0) {
            ++live;
            continue;
        }
        TraceLine("Deleting order for %s", inet_ntoa(slot->shopper));
        if (slot == CurrentOrder) {
            CurrentOrder = nullptr;
            CurrentSlot = -1;
        }
        _hfree(slot);
        slot = nullptr;
    }
    if (live != 0) TraceLine("hits %d", live);
    _rtkick(10, CheckUsers);
}
