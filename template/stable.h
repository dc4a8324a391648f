// STable: the named texts one page handler computes for one page, which CParse puts in place of
// the template's tokens ("_STOREID_"). A page creates one on its stack and destroys it on return.
#ifndef TEMPLATE_STABLE_H
#define TEMPLATE_STABLE_H

#include <cstddef>
#include <cstdint>

// Names are unique ignoring ASCII case and keep the spelling they were first set with. A slot,
// once filled, keeps its index until the table is destroyed, so a page may hold an index and
// refresh the value with SetAt. Name and value are copied: callers may pass static result
// buffers and reuse them at once. Values are stored exactly as given (no escaping, no trimming).
class STable {
public:
    // A capacity of 0 (what every page passes) means 16 slots.
    explicit STable(int initial_capacity = 0);
    ~STable();
    STable(const STable &) = delete;
    STable &operator=(const STable &) = delete;

    // The first filled slot whose name equals name ignoring case, or -1.
    int Find(const char *name) const;
    // The lowest empty slot; when none is left the table grows by 16 and the old capacity,
    // the first new slot, is returned.
    int FreeSlot();
    // Stores text under name (a new slot, or the value of the existing one); the slot index.
    int Set(const char *name, const char *text);
    // Replaces the value of a slot this table returned; the same index.
    int SetAt(int slot, const char *text);
    // "%ld", "%1.2f" and "%d" of the number, then Set or SetAt. A "%1.2f" text that does not
    // fit its 16-byte buffer (|value| of 10^13 and more) is cut at 15 characters.
    int SetLong(const char *name, int32_t value);
    int SetFloat(const char *name, float value);
    int SetIntAt(int slot, int value);
    // The stored value, valid until the entry is set again or the table is destroyed.
    // Get gives null for a name never set; ValueAt gives null for an empty slot.
    const char *Get(const char *name) const;
    const char *ValueAt(int slot) const;
    // Get from first, else from second (either may be null): the name is hashed once for both.
    static const char *GetEither(const STable *first, const STable *second, const char *name);
    // The same for the length bytes at name (a stretch of template, not terminated there); the
    // value's length goes to *value_length.
    static const char *GetEither(const STable *first, const STable *second, const char *name, size_t length,
                                 size_t *value_length);
    // The name of a slot as first set (null for an empty slot), for listings of a table.
    const char *NameAt(int slot) const;

    int Capacity() const { return capacity; }

private:
    struct Chunk;
    char *Store(const char *text, size_t length, uint32_t *room);
    void Reserve(int slots);
    void IndexSlot(int slot);
    void IndexSlot(int slot, uint32_t hash, size_t length);
    int32_t Probe(const char *name) const;
    int32_t ProbeHashed(const char *name, uint32_t hash, size_t length) const;

    int32_t capacity;  // slots, as Capacity and FreeSlot count them
    int32_t filled;    // slots 0 .. filled - 1 hold entries (a slot is never emptied)
    int32_t reserved;  // slots the arrays below have room for
    char **names;      // reserved entries; null marks an empty slot
    char **values;     // parallel to names; null exactly where names is null
    uint32_t *rooms;   // bytes each value's buffer holds, its terminator included
    uint32_t *lengths; // each value's length
    // An open-addressing index from the names (case folded) to their slots, with each name's
    // hash and length: a slot of -1 marks a free place. indexSize is a power of two, at least
    // twice reserved.
    struct Place {
        int32_t slot;
        uint32_t hash;
        uint32_t length;
    };
    Place *index;
    uint32_t indexSize;
    size_t longest;  // the longest name: a longer text is no name (templates ask for many)
    // Names and values live in chunks owned by the table, freed with it: a page sets a few
    // dozen short texts, mostly the same names row after row.
    Chunk *chunks;
    char *spare;  // the unused end of the newest chunk
    size_t left;
};

#endif // TEMPLATE_STABLE_H
