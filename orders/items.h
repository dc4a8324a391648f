// Adding, changing and removing the items of the shopper's order, and reading one back.
#pragma once

#include "orders/records.h"

// Results of AddOrderProduct: a positive value is the item count after the change.
enum AddResult : int16_t {
    kAddEmptied = 0,          // the last item was removed
    kAddNoSlot = -1,          // no free order slot (or no memory for one)
    kAddOrderFull = -2,
    kAddNoProduct = -3,
    kAddOtherStore = -4,
    kAddBadQuantity = -5,
    kAddFormatMissing = -6,   // a choice missing where required, or one the product does not offer
    kAddBeyondStock = -7,     // more than the stock on hand of a product without back orders
};

// request: store, department and product ids, quantity and the two format choices; the rest 0.
int16_t AddOrderProduct(const OrderItem &request);

// The current order's line for item's product id (letter case ignored); without one, a cleared
// item with both format choices -1.
void GetOrderItem(OrderItem *item);
