// The order slot table: the shoppers' orders in memory, each known by the shopper's IPv4
// address; the current order of a request; the cart links of every page; the sweep.
//
// The table has OrderSlotCount entries (option 18, 50 to 100,000; 50 when the option is absent
// or empty). Beside it an index by address finds a shopper's slot in constant time, the free
// entries are kept so that a new order takes the lowest one, and the entries in use are kept
// in order so that the sweep visits only those.
#pragma once

#include <functional>

#include "orders/records.h"
#include "shell/module.h"

class STable;

constexpr int kOrderSlotsClassic = 50;    // the count when option 18 says nothing
constexpr int kOrderSlotsMost = 100000;
constexpr int16_t kSlotLifetime = 30;  // sweep periods a slot survives without a request

// The entries and their count, the index by address and the current order are this file's
// alone; the rest of the module reaches them through the calls below.

// Start-up: an empty table of count entries (brought into 50..100,000).
void ClearOrderSlots(int count = kOrderSlotsClassic);
void FreeOrderSlots();   // shutdown

// The slot of an address, or nullptr; changes nothing.
OrderSlot *OrderSlotOf(in_addr shopper);
// A new, zeroed slot for the address in the lowest empty entry, its lifetime 30; nullptr when
// every entry is in use or the allocator gives nothing.
OrderSlot *NewOrderSlot(in_addr shopper);
// Frees the slot and empties its entry; the current order too if it is that slot.
void FreeOrderSlot(OrderSlot *slot);
// Makes the order of the current channel's peer the current order (its lifetime back to 30);
// creates nothing.
void FindCurrentOrder();
// The current order of this request, or nullptr when the shopper has none.
OrderSlot *CurrentOrder();
// The shopper's order is done with (cancelled or submitted): its slot goes back to the table.
void FreeCurrentOrder();
// Entries in use.
int OrderSlotsInUse();
// Calls visit(slot) for every slot in use, lowest entry first. visit may free the slot it is
// given (and no other).
void ForEachOrderSlot(const std::function<void(OrderSlot *slot)> &visit);

// "SHOP", "CORD" and "KILL": the cart links with or without a current order.
void SetOrderLinks(STable *table);
// The entries every page of the mall starts with: the mall's entries and the cart links.
void SetCommonEntries(STable *table);

// The sweep of abandoned orders, every 10 seconds.
MODULE_EXPORT void CheckUsers(void);
