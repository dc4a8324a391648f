// STable: a small table of name/value texts. Pages hold a few dozen entries and set the same
// names again for every row: a name is found through a hash index of its case-folded spelling,
// and a value that fits where the old one was goes there, so rows cost no allocation.
#include "template/stable.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "shell/numbers.h"

namespace {

constexpr int kGrowth = 16;
constexpr int kFirstReserve = 64;     // slots the arrays start with: enough for every page
constexpr size_t kChunkBytes = 2048;  // texts of the entries, per chunk

// Running out of memory for a page table leaves nothing sensible to show; like the host's own
// allocator we end the process rather than build a page with holes in it.
void *Allocate(size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (block == nullptr) std::abort();
    return block;
}

// ASCII letters in upper case (names compare that way, as the host's _sameas), by table.
struct FoldTable {
    unsigned char upper[256];
    constexpr FoldTable() : upper() {
        for (int c = 0; c < 256; ++c) upper[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
};
constexpr FoldTable kFold;

// The hash of the case-folded spelling of length bytes.
uint32_t HashBytes(const char *name, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t n = 0; n < length; ++n) h = (h ^ kFold.upper[static_cast<unsigned char>(name[n])]) * 16777619u;
    return h;
}

// The length of a name, if it is at most reach characters (the longest name set): a longer
// text is no name, and is read only that far.
bool NameLength(const char *name, size_t reach, size_t *length) {
    size_t n = strnlen(name, reach + 1);
    if (n > reach) return false;
    *length = n;
    return true;
}

// length bytes of a and b are the same ignoring ASCII case.
bool SameName(const char *a, const char *b, size_t length) {
    for (size_t n = 0; n < length; ++n)
        if (kFold.upper[static_cast<unsigned char>(a[n])] != kFold.upper[static_cast<unsigned char>(b[n])]) return false;
    return true;
}

} // namespace

struct STable::Chunk {
    Chunk *next;
    char bytes[1];
};

STable::STable(int initial_capacity)
    : capacity(initial_capacity > 0 ? initial_capacity : kGrowth),
      filled(0),
      reserved(0),
      names(nullptr),
      values(nullptr),
      rooms(nullptr),
      lengths(nullptr),
      index(nullptr),
      indexSize(0),
      longest(0),
      chunks(nullptr),
      spare(nullptr),
      left(0) {
    Reserve(capacity > kFirstReserve ? capacity : kFirstReserve);
}

STable::~STable() {
    std::free(names);  // the one block of every array
    while (chunks != nullptr) {
        Chunk *next = chunks->next;
        std::free(chunks);
        chunks = next;
    }
}

// Makes room for slots entries in one block: names, values, rooms and the index.
void STable::Reserve(int slots) {
    if (slots <= reserved) return;
    int grown = reserved > 0 ? reserved : kFirstReserve;
    while (grown < slots) grown *= 2;
    uint32_t size = 1;
    while (size < 2u * static_cast<uint32_t>(grown)) size *= 2;
    size_t count = static_cast<size_t>(grown);
    char *block = static_cast<char *>(
        Allocate(count * (2 * sizeof(char *) + 2 * sizeof(uint32_t)) + size * sizeof(Place)));
    char **grown_names = reinterpret_cast<char **>(block);
    char **grown_values = grown_names + count;
    uint32_t *grown_rooms = reinterpret_cast<uint32_t *>(grown_values + count);
    uint32_t *grown_lengths = grown_rooms + count;
    // count is a power of two times kFirstReserve: the lengths end on an 8-byte boundary.
    Place *grown_index = reinterpret_cast<Place *>(grown_lengths + count);
    size_t kept = static_cast<size_t>(reserved);
    for (size_t i = 0; i < count; ++i) {
        grown_names[i] = i < kept ? names[i] : nullptr;
        grown_values[i] = i < kept ? values[i] : nullptr;
        grown_rooms[i] = i < kept ? rooms[i] : 0;
        grown_lengths[i] = i < kept ? lengths[i] : 0;
    }
    std::free(names);
    names = grown_names;
    values = grown_values;
    rooms = grown_rooms;
    lengths = grown_lengths;
    index = grown_index;
    indexSize = size;
    reserved = grown;
    for (uint32_t i = 0; i < indexSize; ++i) index[i] = Place{-1, 0, 0};
    for (int slot = 0; slot < filled; ++slot) IndexSlot(slot);
}

void STable::IndexSlot(int slot) {
    size_t length = std::strlen(names[slot]);
    IndexSlot(slot, HashBytes(names[slot], length), length);
}

void STable::IndexSlot(int slot, uint32_t hash, size_t length) {
    uint32_t mask = indexSize - 1;
    uint32_t at = hash & mask;
    while (index[at].slot >= 0) at = (at + 1) & mask;
    index[at] = Place{slot, hash, static_cast<uint32_t>(length)};
}

int32_t STable::Probe(const char *name) const {
    size_t length;
    return NameLength(name, longest, &length) ? ProbeHashed(name, HashBytes(name, length), length) : -1;
}

// Templates mostly spell a name as the page set it: the bytes are compared first, and the
// case-blind comparison decides only when they differ.
int32_t STable::ProbeHashed(const char *name, uint32_t hash, size_t length) const {
    uint32_t mask = indexSize - 1;
    for (uint32_t at = hash & mask; index[at].slot >= 0; at = (at + 1) & mask) {
        const Place &place = index[at];
        if (place.hash != hash || place.length != length) continue;
        const char *stored = names[place.slot];
        if (std::memcmp(stored, name, length) == 0 || SameName(stored, name, length)) return place.slot;
    }
    return -1;
}

const char *STable::GetEither(const STable *first, const STable *second, const char *name) {
    if (name == nullptr) return nullptr;
    size_t reach = 0;
    if (first != nullptr) reach = first->longest;
    if (second != nullptr && second->longest > reach) reach = second->longest;
    size_t length, value_length;
    if (!NameLength(name, reach, &length)) return nullptr;
    return GetEither(first, second, name, length, &value_length);
}

const char *STable::GetEither(const STable *first, const STable *second, const char *name, size_t length,
                              size_t *value_length) {
    bool in_first = first != nullptr && length <= first->longest;
    bool in_second = second != nullptr && length <= second->longest;
    if (!in_first && !in_second) return nullptr;
    uint32_t hash = HashBytes(name, length);
    if (in_first) {
        int32_t slot = first->ProbeHashed(name, hash, length);
        if (slot >= 0) {
            *value_length = first->lengths[slot];
            return first->values[slot];
        }
    }
    if (in_second) {
        int32_t slot = second->ProbeHashed(name, hash, length);
        if (slot >= 0) {
            *value_length = second->lengths[slot];
            return second->values[slot];
        }
    }
    return nullptr;
}

// A copy of length bytes of text and a terminator in the table's chunks; *room (when given)
// receives the bytes the copy may hold.
char *STable::Store(const char *text, size_t length, uint32_t *room) {
    size_t need = length + 1;
    if (need > left) {
        size_t bytes = need > kChunkBytes ? need : kChunkBytes;
        Chunk *chunk = static_cast<Chunk *>(Allocate(sizeof(Chunk) + bytes));
        chunk->next = chunks;
        chunks = chunk;
        spare = chunk->bytes;
        left = bytes;
    }
    char *copy = spare;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    spare += need;
    left -= need;
    if (room != nullptr) *room = static_cast<uint32_t>(need);
    return copy;
}

int STable::Find(const char *name) const {
    if (name == nullptr) return -1;
    return Probe(name);
}

int STable::FreeSlot() {
    // Slots fill from the lowest and are never emptied: the first empty one follows them.
    if (filled < capacity) return filled;
    // Only the count grows: indexes handed out so far stay valid.
    int old_capacity = capacity;
    capacity = old_capacity + kGrowth;
    Reserve(capacity);
    return old_capacity;
}

int STable::Set(const char *name, const char *text) {
    if (name == nullptr) return -1;
    // The name is measured and hashed once, to look for it and, when it is new, to index it.
    size_t name_length = std::strlen(name);
    uint32_t hash = HashBytes(name, name_length);
    int slot = name_length <= longest ? ProbeHashed(name, hash, name_length) : -1;
    if (slot >= 0) return SetAt(slot, text);
    slot = FreeSlot();
    if (text == nullptr) text = "";
    if (name_length > longest) longest = name_length;
    names[slot] = Store(name, name_length, nullptr);
    size_t length = std::strlen(text);
    values[slot] = Store(text, length, &rooms[slot]);
    lengths[slot] = static_cast<uint32_t>(length);
    filled = slot + 1;
    IndexSlot(slot, hash, name_length);
    return slot;
}

int STable::SetAt(int slot, const char *text) {
    // Only indexes of filled slots are meaningful; anything else is ignored rather than
    // writing outside the arrays or giving an empty slot a value without a name.
    if (slot < 0 || slot >= filled) return slot;
    if (text == nullptr) text = "";
    size_t length = std::strlen(text);
    // memmove: the text may be (part of) the value it replaces.
    if (length < rooms[slot])
        std::memmove(values[slot], text, length + 1);
    else
        values[slot] = Store(text, length, &rooms[slot]);
    lengths[slot] = static_cast<uint32_t>(length);
    return slot;
}

int STable::SetLong(const char *name, int32_t value) {
    char text[16];
    return Set(name, DecimalText(value, text, sizeof text));
}

int STable::SetFloat(const char *name, float value) {
    // The mall's amounts fit 16 bytes with room to spare; a larger value is cut, never
    // written past the buffer.
    char text[16];
    FixedText(value, 2, text, sizeof text);
    return Set(name, text);
}

int STable::SetIntAt(int slot, int value) {
    char text[16];
    return SetAt(slot, DecimalText(value, text, sizeof text));
}

const char *STable::Get(const char *name) const {
    int slot = Find(name);
    return slot < 0 ? nullptr : values[slot];
}

const char *STable::ValueAt(int slot) const {
    if (slot < 0 || slot >= filled) return nullptr;
    return values[slot];
}

const char *STable::NameAt(int slot) const {
    if (slot < 0 || slot >= filled) return nullptr;
    return names[slot];
}
