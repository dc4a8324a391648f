// The order slot table: at most 50 shoppers' orders in memory, each known by the shopper's
// IPv4 address; the current order of a request; the cart links of every page; the sweep.
#pragma once

#include "orders/records.h"
#include "shell/module.h"

class STable;

constexpr int kOrderSlots = 50;
constexpr int16_t kSlotLifetime = 30;  // sweep periods a slot survives without a request

extern OrderSlot *OrderSlots[kOrderSlots];

// The current order of this request: its slot index (-1 for none) and the slot.
extern int16_t CurrentSlot;
extern OrderSlot *CurrentOrder;

void ClearOrderSlots();  // start-up
void FreeOrderSlots();   // shutdown

// The slot of the current channel's peer (its lifetime back to 30), or -1; creates nothing.
int16_t FindOrderSlot();
// Sets CurrentSlot and CurrentOrder from FindOrderSlot.
void FindCurrentOrder();

// "SHOP", "CORD" and "KILL": the cart links with or without a current order.
void SetOrderLinks(STable *table);

// The sweep of abandoned orders, every 10 seconds.
MODULE_EXPORT void CheckUsers(void);
