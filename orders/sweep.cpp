// The sweep of abandoned orders: a shopper who sends no request for 30 periods of 10 seconds
// loses the order. It visits only the entries in use.
#include <arpa/inet.h>

#include "orders/slots.h"

MODULE_EXPORT void CheckUsers(void) {
    int live = 0;
    ForEachOrderSlot([&](OrderSlot *slot) {
        if (--slot->lifetime > 0) {
            ++live;
            return;
        }
        TraceLine("Deleting order for %s", inet_ntoa(slot->shopper));
        FreeOrderSlot(slot);
    });
    if (live != 0) TraceLine("hits %d", live);
    _rtkick(10, CheckUsers);
}
