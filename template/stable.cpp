// STable: a small table of name/value texts, searched linearly. Pages hold a few dozen entries
// and set the same names again for every row, so the table rarely grows.
#include "template/stable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/host.h"

namespace {

constexpr int kGrowth = 16;

// Running out of memory for a page table leaves nothing sensible to show; like the host's own
// allocator we end the process rather than build a page with holes in it.
void *Allocate(size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (block == nullptr) std::abort();
    return block;
}

char *CopyText(const char *text) {
    if (text == nullptr) text = "";
    size_t length = std::strlen(text);
    char *copy = static_cast<char *>(Allocate(length + 1));
    std::memcpy(copy, text, length + 1);
    return copy;
}

char **EmptySlots(int count) {
    char **slots = static_cast<char **>(Allocate(sizeof(char *) * static_cast<size_t>(count)));
    for (int i = 0; i < count; ++i) slots[i] = nullptr;
    return slots;
}

// The first character of a name with ASCII letters in upper case, as the comparison of names
// sees it.
inline unsigned char FoldedFirst(const char *name) {
    unsigned char c = static_cast<unsigned char>(name[0]);
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

} // namespace

STable::STable(int initial_capacity)
    : capacity(initial_capacity > 0 ? initial_capacity : kGrowth),
      names(EmptySlots(capacity)),
      values(EmptySlots(capacity)) {}

STable::~STable() {
    for (int i = 0; i < capacity; ++i) {
        std::free(names[i]);
        std::free(values[i]);
    }
    std::free(names);
    std::free(values);
}

int STable::Find(const char *name) const {
    if (name == nullptr) return -1;
    // Most names differ in their first letter already: the full comparison is made only for
    // those that share it (in either case).
    const unsigned char first = FoldedFirst(name);
    for (int i = 0; i < capacity; ++i)
        if (names[i] != nullptr && FoldedFirst(names[i]) == first && _sameas(names[i], name)) return i;
    return -1;
}

int STable::FreeSlot() {
    for (int i = 0; i < capacity; ++i)
        if (names[i] == nullptr) return i;

    // Only the pointers move: indexes handed out so far stay valid.
    int old_capacity = capacity;
    char **grown_names = EmptySlots(old_capacity + kGrowth);
    char **grown_values = EmptySlots(old_capacity + kGrowth);
    std::memcpy(grown_names, names, sizeof(char *) * static_cast<size_t>(old_capacity));
    std::memcpy(grown_values, values, sizeof(char *) * static_cast<size_t>(old_capacity));
    std::free(names);
    std::free(values);
    names = grown_names;
    values = grown_values;
    capacity = old_capacity + kGrowth;
    return old_capacity;
}

int STable::Set(const char *name, const char *text) {
    if (name == nullptr) return -1;
    int slot = Find(name);
    if (slot >= 0) return SetAt(slot, text);
    slot = FreeSlot();
    names[slot] = CopyText(name);
    values[slot] = CopyText(text);
    return slot;
}

int STable::SetAt(int slot, const char *text) {
    // Only indexes of filled slots are meaningful; anything else is ignored rather than
    // writing outside the arrays or giving an empty slot a value without a name.
    if (slot < 0 || slot >= capacity || names[slot] == nullptr) return slot;
    // Rows of a page set the same names again and again: a value that fits where the old one
    // was goes there.
    if (text == nullptr) text = "";
    size_t length = std::strlen(text);
    if (values[slot] != nullptr && std::strlen(values[slot]) >= length) {
        std::memmove(values[slot], text, length + 1);
        return slot;
    }
    char *copy = CopyText(text);
    std::free(values[slot]);
    values[slot] = copy;
    return slot;
}

int STable::SetLong(const char *name, int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(value));
    return Set(name, text);
}

int STable::SetFloat(const char *name, float value) {
    // The mall's amounts fit 16 bytes with room to spare; a larger value is cut, never
    // written past the buffer.
    char text[16];
    std::snprintf(text, sizeof text, "%1.2f", static_cast<double>(value));
    return Set(name, text);
}

int STable::SetIntAt(int slot, int value) {
    char text[12];
    std::snprintf(text, sizeof text, "%d", value);
    return SetAt(slot, text);
}

const char *STable::Get(const char *name) const {
    int slot = Find(name);
    return slot < 0 ? nullptr : values[slot];
}

const char *STable::ValueAt(int slot) const {
    if (slot < 0 || slot >= capacity) return nullptr;
    return values[slot];
}

const char *STable::NameAt(int slot) const {
    if (slot < 0 || slot >= capacity) return nullptr;
    return names[slot];
}
