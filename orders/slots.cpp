// Order slots, the current order and the cart links.
#include "orders/slots.h"

#include <cstring>
#include <functional>
#include <queue>
#include <set>
#include <unordered_map>
#include <vector>

#include "catalogue/rules.h"
#include "template/stable.h"

namespace {

int OrderSlotCount = 0;   // fixed at start-up
// The current order of this request, or nullptr.
OrderSlot *Current = nullptr;

std::vector<OrderSlot *> Entries;
// The address, as the 32 bits the host stores, to its entry.
std::unordered_map<uint32_t, int32_t> ByAddress;
// Entries in use, in index order, for the sweep.
std::set<int32_t> InUse;
// Entries below Untouched that were used and freed again, lowest first; every entry from
// Untouched on has never been used. The lowest empty entry is the smaller of the two.
std::priority_queue<int32_t, std::vector<int32_t>, std::greater<>> Freed;
int32_t Untouched = 0;

uint32_t Key(in_addr address) {
    uint32_t key;
    std::memcpy(&key, &address, sizeof key);
    return key;
}

OrderSlot *OrderSlotAt(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= Entries.size()) return nullptr;
    return Entries[static_cast<size_t>(index)];
}

int32_t IndexOf(in_addr shopper) {
    auto found = ByAddress.find(Key(shopper));
    return found == ByAddress.end() ? -1 : found->second;
}

}  // namespace

void ClearOrderSlots(int count) {
    if (count < kOrderSlotsClassic) count = kOrderSlotsClassic;
    if (count > kOrderSlotsMost) count = kOrderSlotsMost;
    OrderSlotCount = count;
    Entries.assign(static_cast<size_t>(count), nullptr);
    ByAddress.clear();
    ByAddress.reserve(static_cast<size_t>(count < 1024 ? count : 1024));
    InUse.clear();
    Freed = {};
    Untouched = 0;
    Current = nullptr;
}

void FreeOrderSlots() {
    for (OrderSlot *&slot : Entries) {
        if (slot != nullptr) _hfree(slot);
        slot = nullptr;
    }
    Entries.clear();
    Entries.shrink_to_fit();
    ByAddress.clear();
    InUse.clear();
    Freed = {};
    Untouched = 0;
    Current = nullptr;
}

void FindCurrentOrder() {
    int32_t index = IndexOf(_tcpipinf[_usrnum].peer);
    if (index >= 0) Entries[static_cast<size_t>(index)]->lifetime = kSlotLifetime;
    Current = OrderSlotAt(index);
}

OrderSlot *CurrentOrder() { return Current; }

void FreeCurrentOrder() { FreeOrderSlot(Current); }

OrderSlot *OrderSlotOf(in_addr shopper) { return OrderSlotAt(IndexOf(shopper)); }

OrderSlot *NewOrderSlot(in_addr shopper) {
    int32_t index;
    if (!Freed.empty()) index = Freed.top();
    else if (Untouched < OrderSlotCount) index = Untouched;
    else return nullptr;
    auto *slot = static_cast<OrderSlot *>(_hmalloc(sizeof(OrderSlot)));
    if (slot == nullptr) return nullptr;
    if (!Freed.empty()) Freed.pop();
    else ++Untouched;
    std::memset(slot, 0, sizeof *slot);
    slot->shopper = shopper;
    slot->lifetime = kSlotLifetime;
    Entries[static_cast<size_t>(index)] = slot;
    ByAddress[Key(shopper)] = index;
    InUse.insert(index);
    return slot;
}

void FreeOrderSlot(OrderSlot *slot) {
    if (slot == nullptr) return;
    const int32_t index = IndexOf(slot->shopper);
    if (slot == Current) Current = nullptr;
    ByAddress.erase(Key(slot->shopper));
    InUse.erase(index);
    Freed.push(index);
    Entries[static_cast<size_t>(index)] = nullptr;
    _hfree(slot);
}

int OrderSlotsInUse() { return static_cast<int>(InUse.size()); }

void ForEachOrderSlot(const std::function<void(OrderSlot *slot)> &visit) {
    for (auto it = InUse.begin(); it != InUse.end();) {
        // visit may free this entry, which takes it out of InUse.
        int32_t index = *it++;
        visit(Entries[static_cast<size_t>(index)]);
    }
}

void SetOrderLinks(STable *table) {
    bool order = Current != nullptr;
    table->Set("SHOP", _getMsgBlk(order ? 25 : 26));
    table->Set("CORD", _getMsgBlk(order ? 19 : 20));
    table->Set("KILL", _getMsgBlk(order ? 22 : 23));
}

void SetCommonEntries(STable *table) {
    SetMallEntries(table);
    SetOrderLinks(table);
}
