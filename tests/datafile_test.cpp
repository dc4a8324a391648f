// The data files through the calls a module makes: look-ups and walks on real SQLite files in a
// fresh directory per test, durability after a killed process, and a second process's writes.
// With SHOPVERA_TEST_POSTGRES (the socket directory of a server, see tests/postgres/) the same
// tests run on PostgreSQL, each in a fresh database.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "host/datafile.h"
#include "host/datafile/keys.h"
#include "host/datafile/store.h"
#include "shell/host.h"

namespace {

HostKeyDef key_of(bool unique, std::initializer_list<HostKeySegment> segments) {
    HostKeyDef def{};
    def.unique = unique ? 1 : 0;
    for (const HostKeySegment &s : segments) def.segments[def.segment_count++] = s;
    return def;
}

// A small record: a name (text key), a number and a note.
struct Item {
    char name[16];
    int32_t value;
    char note[44];
};
static_assert(sizeof(Item) == 64);

Item item(const char *name, int32_t value, const char *note = "") {
    Item it{};
    std::memcpy(it.name, name, strnlen(name, sizeof it.name)); // full width: no terminator
    it.value = value;
    std::strncpy(it.note, note, sizeof it.note - 1);
    return it;
}

struct NameKey {
    char name[16];
};

NameKey name_key(const char *name) {
    NameKey k{};
    std::memcpy(k.name, name, strnlen(name, sizeof k.name));
    return k;
}

HostBool insert_item(const Item &it) { return _dfaInsert(&it); }

std::string label(const Item &it) {
    return std::string(it.name, strnlen(it.name, sizeof it.name)) + ":" + std::to_string(it.value);
}

// Selects a file for one scope, as the module brackets its calls.
struct Selected {
    explicit Selected(HostFile f) { _dfaSetBlk(f); }
    ~Selected() { _dfaRstBlk(); }
};

// The server of SHOPVERA_TEST_POSTGRES; "" for SQLite.
std::string postgres_socket() {
    const char *dir = std::getenv("SHOPVERA_TEST_POSTGRES");
    return dir != nullptr ? dir : "";
}

void drop_database(const std::string &socket, const std::string &name) {
    PGconn *c = PQconnectdb(("postgresql://shopvera@/postgres?host=" + socket).c_str());
    PQclear(PQexec(c, ("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)").c_str()));
    PQfinish(c);
}

class DatafileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/datafile-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        host::datafile_set_directory(dir_);
        host::datafile_reset_selection();
        if (on_postgres()) {
            database_ = "datafile_test_" + std::string(pattern + std::strlen("/tmp/datafile-test-"));
            for (char &c : database_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            host::datafile_set_url("postgresql://shopvera@/" + database_ + "?host=" + postgres_socket());
            std::string why;
            ASSERT_TRUE(host::datafile_create_database(&why)) << why;
        }
    }
    void TearDown() override {
        host::datafile_close_all();
        host::datafile_set_url("");
        if (!database_.empty()) drop_database(postgres_socket(), database_);
        std::filesystem::remove_all(dir_);
    }

    static bool on_postgres() { return !postgres_socket().empty(); }

    // Key 0: the name, unique or not; key 1: the number.
    HostFile open_items(bool unique = true, const char *table = "items") {
        HostKeyDef keys[2] = {key_of(unique, {{0, 16, HOST_KEY_TEXT}}),
                              key_of(false, {{16, 4, HOST_KEY_INT32}})};
        return _dfaOpen("test.db", table, sizeof(Item), 2, keys);
    }

    // Every record of the selected file in the order of key keynum, read with next.
    static std::vector<std::string> walk(int keynum, int key_width) {
        std::vector<std::string> seen;
        std::vector<unsigned char> zero(static_cast<size_t>(key_width), 0);
        Item it{};
        for (int ok = _dfaAcqLock(&it, zero.data(), keynum, HOST_GET_GREATER_EQUAL, 0); ok;
             ok = _dfaAcqLock(&it, nullptr, keynum, HOST_QUERY_NEXT, 0))
            seen.push_back(label(it));
        return seen;
    }

    std::string dir_;
    std::string database_; // on PostgreSQL
};

using Labels = std::vector<std::string>;

// ---- key encoding

TEST(DatafileKeys, EncodingSortsTextIgnoringCaseAndIntegersAsNumbers) {
    using host::datafile::encode_record_key;
    using host::datafile::Key;
    std::vector<Key> keys;
    HostKeyDef defs[2] = {key_of(true, {{0, 6, HOST_KEY_TEXT}}),
                          key_of(true, {{6, 2, HOST_KEY_INT16}, {8, 4, HOST_KEY_INT32}})};
    std::string why;
    ASSERT_TRUE(host::datafile::parse_keys(12, 2, defs, &keys, &why)) << why;

    auto text = [&](const char *bytes, int n) {
        unsigned char rec[12] = {};
        std::memcpy(rec, bytes, static_cast<size_t>(n));
        std::string out;
        encode_record_key(keys[0], rec, 12, &out);
        return out;
    };
    // Letter case and whatever follows the terminator do not count.
    EXPECT_EQ(text("abc\0zz", 6), text("ABC\0\0\0", 6));
    EXPECT_EQ(text("abc", 3), std::string("ABC\0\0\0", 6));
    // A shorter text sorts before a longer one that begins with it.
    EXPECT_LT(text("AB", 2), text("ABC", 3));
    EXPECT_LT(text("ABC", 3), text("ABD", 3));

    auto numbers = [&](int16_t a, int32_t b) {
        unsigned char rec[12] = {};
        std::memcpy(rec + 6, &a, 2);
        std::memcpy(rec + 8, &b, 4);
        std::string out;
        encode_record_key(keys[1], rec, 12, &out);
        return out;
    };
    const int16_t shorts[] = {INT16_MIN, -300, -1, 0, 1, 255, 256, INT16_MAX};
    for (size_t i = 1; i < std::size(shorts); ++i)
        EXPECT_LT(numbers(shorts[i - 1], 0), numbers(shorts[i], 0)) << shorts[i];
    const int32_t longs[] = {INT32_MIN, -70000, -1, 0, 1, 65536, INT32_MAX};
    for (size_t i = 1; i < std::size(longs); ++i)
        EXPECT_LT(numbers(5, longs[i - 1]), numbers(5, longs[i])) << longs[i];

    // A short record reads its missing bytes as zero.
    unsigned char rec[12] = {'x', 'y', 'z', 'w', 'v', 'u', 1, 0, 9, 9, 9, 9};
    std::string cut;
    encode_record_key(keys[1], rec, 8, &cut);
    EXPECT_EQ(cut, numbers(1, 0));
}

TEST(DatafileKeys, DefinitionsOutsideTheRecordAreRefused) {
    std::vector<host::datafile::Key> keys;
    std::string why;
    HostKeyDef outside = key_of(true, {{10, 8, HOST_KEY_TEXT}});
    EXPECT_FALSE(host::datafile::parse_keys(16, 1, &outside, &keys, &why));
    HostKeyDef wide_int = key_of(true, {{0, 3, HOST_KEY_INT32}});
    EXPECT_FALSE(host::datafile::parse_keys(16, 1, &wide_int, &keys, &why));
    HostKeyDef no_type = key_of(true, {{0, 4, 9}});
    EXPECT_FALSE(host::datafile::parse_keys(16, 1, &no_type, &keys, &why));
    EXPECT_FALSE(host::datafile::parse_keys(16, 0, &no_type, &keys, &why));
}

// ---- look-ups

TEST_F(DatafileTest, LookUpsFindEqualGreaterAndLessAndKeyOnlyFormsMoveTheSame) {
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    for (const char *name : {"DELTA", "ALPHA", "CHARLIE", "BRAVO"})
        ASSERT_TRUE(insert_item(item(name, static_cast<int32_t>(std::strlen(name)))));

    Item it{};
    NameKey k = name_key("charlie");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_EQ(label(it), "CHARLIE:7");
    EXPECT_EQ(_dfaRecLen(), static_cast<int>(sizeof(Item)));
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_GREATER, 0));
    EXPECT_EQ(label(it), "DELTA:5");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_GREATER_EQUAL, 0));
    EXPECT_EQ(label(it), "CHARLIE:7");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_LESS, 0));
    EXPECT_EQ(label(it), "BRAVO:5");
    k = name_key("BZ"); // between records: equal misses, the rest find neighbours
    EXPECT_FALSE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_GREATER_EQUAL, 0));
    EXPECT_EQ(label(it), "CHARLIE:7");

    // Key-only: the current record moves, the buffer is not touched.
    long charlie = _dfaAbs();
    Item untouched = item("UNTOUCHED", 0);
    it = untouched;
    k = name_key("ALPHA");
    ASSERT_TRUE(_dfaQuery(&k, 0, HOST_QUERY_EQUAL));
    long alpha = _dfaAbs();
    EXPECT_NE(alpha, charlie);
    ASSERT_TRUE(_dfaQueryNP(HOST_QUERY_NEXT));
    ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
    EXPECT_EQ(label(it), "BRAVO:5");
    ASSERT_TRUE(_dfaQuery(&k, 0, HOST_QUERY_GREATER));
    ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
    EXPECT_EQ(label(it), "BRAVO:5");
    k = name_key("DELTA");
    ASSERT_TRUE(_dfaQuery(&k, 0, HOST_QUERY_LESS));
    ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
    EXPECT_EQ(label(it), "CHARLIE:7");
    ASSERT_TRUE(_dfaQuery(&k, 0, HOST_QUERY_GREATER_EQUAL));
    ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
    EXPECT_EQ(label(it), "DELTA:5");

    // A miss leaves the current record where it was.
    long delta = _dfaAbs();
    EXPECT_FALSE(_dfaQuery(&k, 0, HOST_QUERY_GREATER));
    EXPECT_EQ(_dfaAbs(), delta);
    k = name_key("A");
    EXPECT_FALSE(_dfaAcqLock(&it, &k, 0, HOST_GET_LESS, 0));
    EXPECT_EQ(_dfaAbs(), delta);

    // _dfaQueryNP's search forms use the current key: greater than DELTA is nothing, less is
    // CHARLIE.
    EXPECT_FALSE(_dfaQueryNP(HOST_QUERY_GREATER));
    ASSERT_TRUE(_dfaQueryNP(HOST_QUERY_LESS));
    EXPECT_EQ(_dfaAbs(), charlie);
    ASSERT_TRUE(_dfaQueryNP(HOST_QUERY_EQUAL));
    EXPECT_EQ(_dfaAbs(), charlie);

    // The second key orders by the number, then by position (the order of insertion).
    EXPECT_EQ(walk(1, 4), (Labels{"DELTA:5", "ALPHA:5", "BRAVO:5", "CHARLIE:7"}));
}

TEST_F(DatafileTest, DuplicatesWalkInPositionOrderBothWaysAndStopAtTheEnds) {
    HostFile f = open_items(false);
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("B", 1)));
    ASSERT_TRUE(insert_item(item("A", 2)));
    ASSERT_TRUE(insert_item(item("b", 3))); // the same key as "B": case does not count
    ASSERT_TRUE(insert_item(item("C", 4)));
    ASSERT_TRUE(insert_item(item("B", 5)));

    EXPECT_EQ(walk(0, 16), (Labels{"A:2", "B:1", "b:3", "B:5", "C:4"}));

    Item it{};
    NameKey k = name_key("B");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0)); // the first of the run
    EXPECT_EQ(label(it), "B:1");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_LESS, 0)); // the last record below the run
    EXPECT_EQ(label(it), "A:2");
    EXPECT_FALSE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_PREVIOUS, 0)); // the first record
    EXPECT_EQ(label(it), "A:2");
    ASSERT_TRUE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_NEXT, 0));
    EXPECT_EQ(label(it), "B:1");
    k = name_key("C");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_LESS, 0)); // the run's last, by position
    EXPECT_EQ(label(it), "B:5");
    ASSERT_TRUE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_PREVIOUS, 0));
    EXPECT_EQ(label(it), "b:3");
    ASSERT_TRUE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_PREVIOUS, 0));
    EXPECT_EQ(label(it), "B:1");
    ASSERT_TRUE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_PREVIOUS, 0));
    EXPECT_EQ(label(it), "A:2");

    // Off the far end and back.
    k = name_key("C");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_FALSE(_dfaQueryNP(HOST_QUERY_NEXT));
    ASSERT_TRUE(_dfaQueryNP(HOST_QUERY_PREVIOUS));
    ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
    EXPECT_EQ(label(it), "B:5");
    k = name_key("B");
    ASSERT_TRUE(_dfaQuery(&k, 0, HOST_QUERY_GREATER)); // greater skips the whole run
    ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
    EXPECT_EQ(label(it), "C:4");
}

TEST_F(DatafileTest, ReadByPositionKeepsOrMovesTheCurrentRecord) {
    HostFile f = open_items();
    Selected sel(f);
    std::vector<long> pos;
    for (const char *name : {"A", "B", "C", "D"}) {
        ASSERT_TRUE(insert_item(item(name, 0)));
        pos.push_back(_dfaAbs());
    }
    // A walk that reads each record by position while it goes, as the product list does.
    NameKey k = name_key("A");
    ASSERT_TRUE(_dfaQuery(&k, 0, HOST_QUERY_GREATER_EQUAL));
    Labels seen;
    Item it{};
    do {
        ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
        seen.push_back(label(it));
        Item other{};
        ASSERT_TRUE(_dfaGetAbsLock(&other, pos[3], 0, 0)); // a read elsewhere: no effect
    } while (_dfaQueryNP(HOST_QUERY_NEXT));
    EXPECT_EQ(seen, (Labels{"A:0", "B:0", "C:0", "D:0"}));

    // AcqAbs makes the record current: next and previous go on from it.
    ASSERT_TRUE(_dfaAcqAbsLock(&it, pos[1], 0, 0));
    EXPECT_EQ(label(it), "B:0");
    EXPECT_EQ(_dfaAbs(), pos[1]);
    ASSERT_TRUE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_NEXT, 0));
    EXPECT_EQ(label(it), "C:0");
    ASSERT_TRUE(_dfaAcqAbsLock(&it, pos[1], 0, 0));
    ASSERT_TRUE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_PREVIOUS, 0));
    EXPECT_EQ(label(it), "A:0");

    // A position that holds nothing reads nothing and moves nothing.
    EXPECT_FALSE(_dfaGetAbsLock(&it, 9999, 0, 0));
    EXPECT_FALSE(_dfaAcqAbsLock(&it, 9999, 0, 0));
    EXPECT_EQ(_dfaAbs(), pos[0]);
}

TEST_F(DatafileTest, IntegerKeysWalkInNumericOrder) {
    struct Row {
        int16_t small;
        int32_t large;
    } __attribute__((packed));
    HostKeyDef keys[2] = {key_of(false, {{0, 2, HOST_KEY_INT16}}),
                          key_of(false, {{2, 4, HOST_KEY_INT32}})};
    HostFile f = _dfaOpen("test.db", "numbers", sizeof(Row), 2, keys);
    ASSERT_GT(f, 0);
    Selected sel(f);
    const int32_t values[] = {300, -2, 0, 70000, -70000, 1, -1, 256, -256};
    for (int32_t v : values) {
        Row r{static_cast<int16_t>(v % 30000), v};
        ASSERT_TRUE(_dfaInsert(&r));
    }
    auto walk_numbers = [](int keynum, int width) {
        std::vector<int32_t> seen;
        unsigned char low[4];
        std::memset(low, 0, sizeof low);
        low[width - 1] = 0x80; // the lowest value: INT16_MIN / INT32_MIN, little-endian
        Row r{};
        for (int ok = _dfaAcqLock(&r, low, keynum, HOST_GET_GREATER_EQUAL, 0); ok;
             ok = _dfaAcqLock(&r, nullptr, keynum, HOST_QUERY_NEXT, 0))
            seen.push_back(keynum == 0 ? r.small : r.large);
        return seen;
    };
    EXPECT_EQ(walk_numbers(1, 4),
              (std::vector<int32_t>{-70000, -256, -2, -1, 0, 1, 256, 300, 70000}));
    EXPECT_EQ(walk_numbers(0, 2),
              (std::vector<int32_t>{-10000, -256, -2, -1, 0, 1, 256, 300, 10000}));
    int32_t minus_two = -2;
    Row r{};
    ASSERT_TRUE(_dfaAcqLock(&r, &minus_two, 1, HOST_GET_LESS, 0));
    EXPECT_EQ(r.large, -256);
}

TEST_F(DatafileTest, TextKeyOfThreePartsListsOneDepartment) {
    // store id 9, department id 9, product id 16, then the rest of the record
    struct Product {
        char store[9], dept[9], product[16];
        char name[30];
    };
    HostKeyDef keys[1] = {key_of(true, {{0, 9, HOST_KEY_TEXT},
                                        {9, 9, HOST_KEY_TEXT},
                                        {18, 16, HOST_KEY_TEXT}})};
    HostFile f = _dfaOpen("catalogue.db", "products", sizeof(Product), 1, keys);
    ASSERT_GT(f, 0);
    Selected sel(f);
    const char *rows[][3] = {{"ACME", "TOOLS", "SAW"},     {"ACME", "TOOLS", "HAMMER"},
                             {"acme", "LAMPS", "DESK"},    {"ACME", "TOOLSET", "KIT"},
                             {"ACMEX", "TOOLS", "DRILL"},  {"ACME", "TOOLS", "RED SHIRT"},
                             {"ACME", "TOOL", "NAIL"}};
    for (auto &row : rows) {
        Product p{};
        std::strcpy(p.store, row[0]);
        std::strcpy(p.dept, row[1]);
        std::strcpy(p.product, row[2]);
        ASSERT_TRUE(_dfaInsert(&p));
    }
    // Start at ACME/TOOLS/"" and walk while the record belongs to the department.
    char key[34] = {};
    std::strcpy(key, "Acme");
    std::strcpy(key + 9, "tools");
    Labels seen;
    ASSERT_TRUE(_dfaQuery(key, 0, HOST_QUERY_GREATER_EQUAL));
    do {
        Product p{};
        ASSERT_TRUE(_dfaGetAbsLock(&p, _dfaAbs(), 0, 0));
        if (strcasecmp(p.store, "ACME") != 0 || strcasecmp(p.dept, "TOOLS") != 0) break;
        seen.push_back(p.product);
    } while (_dfaQueryNP(HOST_QUERY_NEXT));
    EXPECT_EQ(seen, (Labels{"HAMMER", "RED SHIRT", "SAW"}));

    // The product with a space is found by its full key.
    std::strcpy(key + 18, "red shirt");
    Product p{};
    ASSERT_TRUE(_dfaAcqLock(&p, key, 0, HOST_GET_EQUAL, 0));
    EXPECT_STREQ(p.product, "RED SHIRT");
    // Previous and next neighbours within the department.
    ASSERT_TRUE(_dfaQuery(key, 0, HOST_QUERY_LESS));
    ASSERT_TRUE(_dfaGetAbsLock(&p, _dfaAbs(), 0, 0));
    EXPECT_STREQ(p.product, "HAMMER");
    ASSERT_TRUE(_dfaQuery(key, 0, HOST_QUERY_GREATER));
    ASSERT_TRUE(_dfaGetAbsLock(&p, _dfaAbs(), 0, 0));
    EXPECT_STREQ(p.product, "SAW");
}

TEST_F(DatafileTest, OrderKeysFindTheLastOrderOfAStoreAndNeverANeighboursOne) {
    // order number, store id: key 0 is (store id, number), key 1 (number, store id)
    struct Order {
        int32_t number;
        char store[9];
        char rest[19];
    } __attribute__((packed));
    HostKeyDef keys[2] = {key_of(true, {{4, 9, HOST_KEY_TEXT}, {0, 4, HOST_KEY_INT32}}),
                          key_of(true, {{0, 4, HOST_KEY_INT32}, {4, 9, HOST_KEY_TEXT}})};
    HostFile f = _dfaOpen("orders.db", "orders", sizeof(Order), 2, keys);
    ASSERT_GT(f, 0);
    Selected sel(f);
    auto add = [](const char *store, int32_t number) {
        Order o{};
        o.number = number;
        std::strcpy(o.store, store);
        return _dfaInsert(&o) != 0;
    };
    for (int32_t n : {2, 9, 1, 10, 3}) ASSERT_TRUE(add("ACME", n));
    for (int32_t n : {1, 2, 40}) ASSERT_TRUE(add("ACMF", n));
    ASSERT_TRUE(add("ACMD", 77));
    ASSERT_FALSE(add("acme", 9)); // key 0 and key 1 both unique

    // The next order number: get-less-than with the store id's last character raised by one.
    auto last_order = [](const char *store) -> int32_t {
        struct {
            char store[9];
            int32_t number;
        } __attribute__((packed)) key{};
        std::strcpy(key.store, store);
        key.store[std::strlen(store) - 1]++;
        key.number = 0;
        Order o{};
        return _dfaAcqLock(&o, &key, 0, HOST_GET_LESS, 0) ? o.number : 0;
    };
    EXPECT_EQ(last_order("ACME"), 10); // not 2 (a text order) nor ACMF's 40
    EXPECT_EQ(last_order("ACMF"), 40);
    EXPECT_EQ(last_order("ACMD"), 77);
    EXPECT_EQ(last_order("ACMC"), 0); // nothing before ACMD
    EXPECT_EQ(last_order("acme"), 10);

    // Key 1: by number, then store.
    struct {
        int32_t number;
        char store[9];
    } __attribute__((packed)) key1{};
    key1.number = 2;
    std::strcpy(key1.store, "ACMF");
    Order o{};
    ASSERT_TRUE(_dfaAcqLock(&o, &key1, 1, HOST_GET_EQUAL, 0));
    EXPECT_EQ(o.number, 2);
    EXPECT_STREQ(o.store, "ACMF");
    ASSERT_TRUE(_dfaAcqLock(&o, nullptr, 1, HOST_QUERY_NEXT, 0));
    EXPECT_EQ(o.number, 3);
    ASSERT_TRUE(_dfaAcqLock(&o, nullptr, 1, HOST_QUERY_PREVIOUS, 0));
    ASSERT_TRUE(_dfaAcqLock(&o, nullptr, 1, HOST_QUERY_PREVIOUS, 0));
    EXPECT_EQ(o.number, 2);
    EXPECT_STREQ(o.store, "ACME");
}

// ---- writes

TEST_F(DatafileTest, UniqueKeyRefusesADuplicateOnInsertAndOnUpdate) {
    HostFile f = open_items();
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("ALPHA", 1, "first")));
    ASSERT_TRUE(insert_item(item("BRAVO", 2)));
    EXPECT_FALSE(insert_item(item("alpha", 3, "second")));

    Item it{};
    NameKey k = name_key("BRAVO");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    std::strcpy(it.name, "Alpha");
    EXPECT_FALSE(_dfaUpdate(&it));

    EXPECT_EQ(walk(0, 16), (Labels{"ALPHA:1", "BRAVO:2"}));
    k = name_key("ALPHA");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_STREQ(it.note, "first"); // never overwritten

    // An update to a free key moves the record, and the walk goes on from its new place.
    std::strcpy(it.name, "CHARLIE");
    it.value = 9;
    ASSERT_TRUE(_dfaUpdate(&it));
    EXPECT_FALSE(_dfaQueryNP(HOST_QUERY_NEXT));
    ASSERT_TRUE(_dfaQueryNP(HOST_QUERY_PREVIOUS));
    ASSERT_TRUE(_dfaGetAbsLock(&it, _dfaAbs(), 0, 0));
    EXPECT_EQ(label(it), "BRAVO:2");
    EXPECT_EQ(walk(0, 16), (Labels{"BRAVO:2", "CHARLIE:9"}));
    EXPECT_FALSE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
}

TEST_F(DatafileTest, VariableLengthRecordsKeepTheirLength) {
    HostFile f = open_items();
    Selected sel(f);
    Item it = item("SHORT", 1, "abcdefghij");
    ASSERT_TRUE(_dfaInsertV(&it, 24)); // name, value and 4 bytes of the note
    ASSERT_TRUE(insert_item(item("FULL", 2)));
    EXPECT_FALSE(_dfaInsertV(&it, sizeof(Item) + 1));
    EXPECT_FALSE(_dfaInsertV(&it, 0));

    Item back;
    std::memset(&back, 'x', sizeof back);
    NameKey k = name_key("SHORT");
    ASSERT_TRUE(_dfaAcqLock(&back, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_EQ(_dfaRecLen(), 24);
    EXPECT_EQ(std::string(back.note, 6), "abcdxx"); // only the stored bytes are copied

    // An update keeps the stored length.
    std::strcpy(back.note, "zzzzzzzzzzzz");
    ASSERT_TRUE(_dfaUpdate(&back));
    ASSERT_TRUE(_dfaAcqLock(&back, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_EQ(_dfaRecLen(), 24);
    k = name_key("FULL");
    ASSERT_TRUE(_dfaAcqLock(&back, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_EQ(_dfaRecLen(), static_cast<int>(sizeof(Item)));
}

TEST_F(DatafileTest, DeletingDuringAWalkLetsTheWalkGoOn) {
    HostFile f = open_items(false);
    Selected sel(f);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(insert_item(item(i % 2 ? "ODD" : "EVEN", i)));
    ASSERT_TRUE(insert_item(item("ZULU", 9)));

    // Delete every ODD record while walking the whole file.
    Item it{};
    NameKey zero{};
    Labels kept;
    for (int ok = _dfaAcqLock(&it, &zero, 0, HOST_GET_GREATER_EQUAL, 0); ok;
         ok = _dfaAcqLock(&it, nullptr, 0, HOST_QUERY_NEXT, 0)) {
        if (std::strcmp(it.name, "ODD") == 0)
            ASSERT_TRUE(_dfaDelete());
        else
            kept.push_back(label(it));
    }
    EXPECT_EQ(kept, (Labels{"EVEN:0", "EVEN:2", "EVEN:4", "ZULU:9"}));
    EXPECT_EQ(walk(0, 16), kept);

    // After a delete, previous goes back from where the record was; a second delete fails.
    NameKey zulu = name_key("ZULU");
    ASSERT_TRUE(_dfaAcqLock(&it, &zulu, 0, HOST_GET_EQUAL, 0));
    ASSERT_TRUE(_dfaDelete());
    EXPECT_FALSE(_dfaDelete());
    EXPECT_FALSE(_dfaUpdate(&it));
    ASSERT_TRUE(_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_PREVIOUS, 0));
    EXPECT_EQ(label(it), "EVEN:4");
}

TEST_F(DatafileTest, PositionsAreNeverHandedOutAgain) {
    HostFile f = open_items();
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("A", 1)));
    ASSERT_TRUE(insert_item(item("B", 2)));
    long b = _dfaAbs();
    ASSERT_TRUE(_dfaDelete());
    host::datafile_close_all(); // and across a reopen
    f = open_items();
    Selected again(f);
    ASSERT_TRUE(insert_item(item("C", 3)));
    EXPECT_GT(_dfaAbs(), b);
    Item it{};
    EXPECT_FALSE(_dfaGetAbsLock(&it, b, 0, 0));
}

TEST_F(DatafileTest, ATransactionLandsWholeOrNotAtAll) {
    HostFile items = open_items();
    HostFile others = open_items(true, "others"); // another table of the same database
    ASSERT_TRUE(host::datafile_begin(items));
    EXPECT_FALSE(host::datafile_begin(others)); // one at a time per database
    // Inside it, a file that exists opens; one that would have to be created does not.
    EXPECT_GT(open_items(), 0);
    EXPECT_EQ(open_items(true, "fresh"), -1);
    {
        Selected sel(items);
        ASSERT_TRUE(insert_item(item("A", 1)));
        EXPECT_FALSE(insert_item(item("A", 2))); // refused alone; the rest stands
        ASSERT_TRUE(insert_item(item("B", 2)));
    }
    {
        Selected sel(others);
        ASSERT_TRUE(insert_item(item("X", 1)));
    }
    host::datafile_rollback(items);
    {
        Selected sel(items);
        EXPECT_EQ(walk(0, 16), Labels{});
    }
    {
        Selected sel(others);
        EXPECT_EQ(walk(0, 16), Labels{});
    }

    ASSERT_TRUE(host::datafile_begin(others));
    {
        Selected sel(items);
        ASSERT_TRUE(insert_item(item("A", 1)));
        ASSERT_TRUE(insert_item(item("B", 2)));
    }
    ASSERT_TRUE(host::datafile_commit(items));
    EXPECT_FALSE(host::datafile_commit(items)); // nothing open any more
    host::datafile_close_all();
    items = open_items();
    Selected sel(items);
    EXPECT_EQ(walk(0, 16), (Labels{"A:1", "B:2"}));
}

// ---- processes, durability, the store itself

TEST_F(DatafileTest, RecordsSurviveAProcessKilledRightAfterItsInserts) {
    const int count = 200;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HostFile f = open_items();
        if (f <= 0) _exit(2);
        _dfaSetBlk(f);
        for (int i = 0; i < count; ++i)
            if (!insert_item(item(("R" + std::to_string(i)).c_str(), i))) _exit(3);
        raise(SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    for (int i = 0; i < count; ++i) {
        Item it{};
        NameKey k = name_key(("r" + std::to_string(i)).c_str());
        ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0)) << i;
        EXPECT_EQ(it.value, i);
    }
}

TEST_F(DatafileTest, AnotherProcessWritesAreSeenByTheNextRead) {
    // The child is forked before this process opens anything, so it has its own connection,
    // as the operator's tool would. Pipes tell it when to write and us when it has.
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c;
        if (read(go[0], &c, 1) != 1) _exit(2);
        HostFile f = open_items();
        _dfaSetBlk(f);
        Item it{};
        NameKey k = name_key("OLD");
        bool ok = f > 0 && insert_item(item("NEW", 2)) &&
                  _dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0);
        it.value = 99;
        ok = ok && _dfaUpdate(&it);
        if (write(done[1], ok ? "y" : "n", 1) != 1) _exit(3);
        _exit(0);
    }
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("OLD", 1)));
    Item it{};
    NameKey k = name_key("NEW");
    EXPECT_FALSE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    ASSERT_TRUE(_dfaAcqLock(&it, name_key("OLD").name, 0, HOST_GET_EQUAL, 0));

    ASSERT_EQ(write(go[1], "g", 1), 1);
    char answer = 0;
    ASSERT_EQ(read(done[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);

    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_EQ(label(it), "NEW:2");
    EXPECT_EQ(walk(0, 16), (Labels{"NEW:2", "OLD:99"}));
}

// Lowers the value of the record named name by one, as a sale lowers a stock: read it, write
// it back only if unchanged, else read again. Each try is one snapshot, as one request is.
bool take_one(HostFile f, const char *name) {
    Selected sel(f);
    NameKey k = name_key(name);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        host::datafile_snapshot_begin();
        Item it{};
        bool found = _dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0);
        Item before = it;
        it.value -= 1;
        bool written = found && _dfaUpdateIf(&before, _dfaRecLen(), &it);
        host::datafile_snapshot_end();
        if (!found) return false;
        if (written) return true;
    }
    return false;
}

TEST_F(DatafileTest, AConditionalUpdateWritesOnlyOverWhatWasRead) {
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    {
        Selected sel(f);
        Item it = item("SHORT", 10, "abcdefghij");
        ASSERT_TRUE(_dfaInsertV(&it, 24));
        NameKey k = name_key("SHORT");
        Item read{}, stale{};
        ASSERT_TRUE(_dfaAcqLock(&read, &k, 0, HOST_GET_EQUAL, 0));
        stale = read;
        // Unchanged since read: written, at the stored length; the current record stays.
        read.value = 9;
        std::strcpy(read.note, "zzzzzzzzzz");
        ASSERT_TRUE(_dfaUpdateIf(&stale, _dfaRecLen(), &read));
        // The bytes read before are no longer there: refused, the record as the first left it.
        Item late = stale;
        late.value = 5;
        EXPECT_FALSE(_dfaUpdateIf(&stale, 24, &late));
        Item back;
        std::memset(&back, 'x', sizeof back);
        ASSERT_TRUE(_dfaAcqLock(&back, &k, 0, HOST_GET_EQUAL, 0));
        EXPECT_EQ(_dfaRecLen(), 24);
        EXPECT_EQ(back.value, 9);
        EXPECT_EQ(std::string(back.note, 6), "zzzzxx");
        // Gone meanwhile: refused as well.
        ASSERT_TRUE(_dfaDelete());
        EXPECT_FALSE(_dfaUpdateIf(&back, 24, &late));
        EXPECT_FALSE(_dfaUpdateIf(&back, 0, &late));
    }

    // Two processes (two hosts) each take 100 units of one record at once: none is lost.
    {
        Selected sel(f);
        ASSERT_TRUE(insert_item(item("STOCK", 1000)));
    }
    host::datafile_close_all();
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            HostFile mine = open_items();
            bool ok = mine > 0;
            for (int i = 0; i < 100 && ok; ++i) ok = take_one(mine, "STOCK");
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    f = open_items();
    Selected sel(f);
    Item it{};
    NameKey k = name_key("STOCK");
    ASSERT_TRUE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_EQ(it.value, 800);
}

TEST_F(DatafileTest, ASecondConnectionSeesEachWriteAtOnceAndABusyWriterGivesUp) {
    if (on_postgres()) GTEST_SKIP() << "the SQLite file's own locking";
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ + "/test.db").c_str(), &other), SQLITE_OK);
    auto count = [&]() {
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(other, "SELECT count(*) FROM items", -1, &stmt, nullptr);
        int n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        return n;
    };
    auto text = [&](const char *sql) {
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(other, sql, -1, &stmt, nullptr);
        std::string value = sqlite3_step(stmt) == SQLITE_ROW
                                ? reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0))
                                : "";
        sqlite3_finalize(stmt);
        return value;
    };
    EXPECT_EQ(text("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(count(), 0);
    ASSERT_TRUE(insert_item(item("A", 1)));
    EXPECT_EQ(count(), 1);
    Item it{};
    NameKey a = name_key("A");
    ASSERT_TRUE(_dfaAcqLock(&it, &a, 0, HOST_GET_EQUAL, 0));
    ASSERT_TRUE(_dfaDelete());
    EXPECT_EQ(count(), 0);
    ASSERT_TRUE(insert_item(item("B", 2)));

    // While the other connection holds the write lock, reads go on and a write waits out the
    // busy timeout, then fails.
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto start = std::chrono::steady_clock::now();
    NameKey b = name_key("B");
    EXPECT_TRUE(_dfaAcqLock(&it, &b, 0, HOST_GET_EQUAL, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(insert_item(item("C", 3)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(insert_item(item("C", 3)));
    EXPECT_EQ(count(), 2);
    sqlite3_close(other);
}

// One call into a module reads every file as it was at its first look-up; a write by the call
// itself ends the snapshot (and is neither refused nor hidden), and the next call sees what
// another process wrote meanwhile.
// Calls that read the same records one after the other may be answered without asking the
// database again, but never past a change another connection committed in between.
TEST_F(DatafileTest, ACallAfterAnotherSeesWhatWasCommittedBetweenThem) {
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("A", 1)));
    ASSERT_TRUE(insert_item(item("B", 2)));
    sqlite3 *other = nullptr;
    PGconn *remote = nullptr;
    if (on_postgres()) {
        remote = PQconnectdb(("postgresql://shopvera@/" + database_ + "?host=" + postgres_socket()).c_str());
        ASSERT_EQ(PQstatus(remote), CONNECTION_OK);
        PQclear(PQexec(remote, "SET search_path = test"));
    } else {
        ASSERT_EQ(sqlite3_open((dir_ + "/test.db").c_str(), &other), SQLITE_OK);
        sqlite3_busy_timeout(other, 5000);
    }
    auto other_exec = [&](const std::string &sql) {
        if (remote == nullptr) return sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        PGresult *r = PQexec(remote, sql.c_str());
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return ok;
    };
    auto call = [&] {
        host::datafile_snapshot_begin();
        Labels seen = walk(0, 16);
        Item it{};
        NameKey k = name_key("A");
        if (_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0)) seen.push_back("found " + label(it));
        host::datafile_snapshot_end();
        return seen;
    };
    EXPECT_EQ(call(), (Labels{"A:1", "B:2", "found A:1"}));
    EXPECT_EQ(call(), (Labels{"A:1", "B:2", "found A:1"}));
    // A change not yet committed stays hidden; once committed the next call sees it.
    ASSERT_TRUE(other_exec("BEGIN; DELETE FROM items WHERE pos = (SELECT min(pos) FROM items)"));
    EXPECT_EQ(call(), (Labels{"A:1", "B:2", "found A:1"}));
    ASSERT_TRUE(other_exec("COMMIT"));
    EXPECT_EQ(call(), (Labels{"B:2"}));
    EXPECT_EQ(call(), (Labels{"B:2"}));
    // A change to another table of the same database, then one of our own.
    ASSERT_TRUE(other_exec("CREATE TABLE unrelated(a integer)"));
    ASSERT_TRUE(other_exec("INSERT INTO unrelated VALUES (1)"));
    EXPECT_EQ(call(), (Labels{"B:2"}));
    ASSERT_TRUE(insert_item(item("A", 3)));
    EXPECT_EQ(call(), (Labels{"A:3", "B:2", "found A:3"}));
    ASSERT_TRUE(other_exec("DELETE FROM items"));
    EXPECT_EQ(call(), (Labels{}));
    if (remote != nullptr) PQfinish(remote);
    if (other != nullptr) sqlite3_close(other);
}

// Another process (the operator's tool, a second host) changes the file between two calls
// that ask the same: the later call sees the change, the earlier ones and the rest of the call
// during which it lands do not.
TEST_F(DatafileTest, AnotherProcessChangeIsSeenByTheNextCallAfterRepeatedOnes) {
    // The child opens the file only after this process has, with a connection of its own.
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(go[1]);
        HostFile f = 0;
        for (char c; read(go[0], &c, 1) == 1;) {
            if (f == 0) f = open_items();
            Selected sel(f);
            Item it{};
            NameKey a = name_key("A"), b = name_key("B");
            bool ok = f > 0;
            if (c == 'u') {
                ok = ok && _dfaAcqLock(&it, &a, 0, HOST_GET_EQUAL, 0);
                it.value += 10;
                ok = ok && _dfaUpdate(&it);
            } else if (c == 'd') {
                ok = ok && _dfaAcqLock(&it, &b, 0, HOST_GET_EQUAL, 0) && _dfaDelete();
            } else if (c == 'i') {
                ok = ok && insert_item(item("B", 7));
            }
            if (write(done[1], ok ? "y" : "n", 1) != 1) _exit(3);
        }
        _exit(0);
    }
    auto ask_child = [&](char c) {
        char answer = 0;
        EXPECT_EQ(write(go[1], &c, 1), 1);
        EXPECT_EQ(read(done[0], &answer, 1), 1);
        return answer == 'y';
    };
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("A", 1)));
    ASSERT_TRUE(insert_item(item("B", 2)));
    auto look = [&] {
        Labels seen = walk(0, 16);
        for (const char *name : {"A", "B"}) {
            Item it{};
            NameKey k = name_key(name);
            seen.push_back(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0) ? "found " + label(it) : "no " + std::string(name));
        }
        return seen;
    };
    auto call = [&] {
        host::datafile_snapshot_begin();
        Labels seen = look();
        host::datafile_snapshot_end();
        return seen;
    };
    const Labels before{"A:1", "B:2", "found A:1", "found B:2"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(call(), before) << i;
    ASSERT_TRUE(ask_child('u'));
    EXPECT_EQ(call(), (Labels{"A:11", "B:2", "found A:11", "found B:2"}));
    EXPECT_EQ(call(), (Labels{"A:11", "B:2", "found A:11", "found B:2"}));
    // A change landing in the middle of a call shows only in the next one.
    host::datafile_snapshot_begin();
    EXPECT_EQ(look(), (Labels{"A:11", "B:2", "found A:11", "found B:2"}));
    ASSERT_TRUE(ask_child('d'));
    EXPECT_EQ(look(), (Labels{"A:11", "B:2", "found A:11", "found B:2"}));
    host::datafile_snapshot_end();
    EXPECT_EQ(call(), (Labels{"A:11", "found A:11", "no B"}));
    EXPECT_EQ(call(), (Labels{"A:11", "found A:11", "no B"}));
    ASSERT_TRUE(ask_child('i'));
    EXPECT_EQ(call(), (Labels{"A:11", "B:7", "found A:11", "found B:7"}));
    // A write of our own between calls that asked the same.
    {
        host::datafile_snapshot_begin();
        Item it{};
        NameKey b = name_key("B");
        ASSERT_TRUE(_dfaAcqLock(&it, &b, 0, HOST_GET_EQUAL, 0));
        it.value = 8;
        ASSERT_TRUE(_dfaUpdate(&it));
        host::datafile_snapshot_end();
    }
    EXPECT_EQ(call(), (Labels{"A:11", "B:8", "found A:11", "found B:8"}));
    ASSERT_TRUE(ask_child('u'));
    EXPECT_EQ(call(), (Labels{"A:21", "B:8", "found A:21", "found B:8"}));
    close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {go[0], done[0], done[1]}) close(fd);
}

// The server cuts the host's connection (a restart, an operator ending sessions) between calls
// that asked the same again and again: the next call connects again and answers from the
// data as it is then, not from what the host kept.
TEST_F(DatafileTest, ACallAfterTheConnectionWasCutConnectsAgainAndSeesTheDataAsItIsNow) {
    if (!on_postgres()) GTEST_SKIP() << "a connection to a server";
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("A", 1)));
    ASSERT_TRUE(insert_item(item("B", 2)));
    PGconn *other = PQconnectdb(("postgresql://shopvera@/" + database_ + "?host=" + postgres_socket()).c_str());
    ASSERT_EQ(PQstatus(other), CONNECTION_OK);
    auto other_exec = [&](const std::string &sql) {
        PGresult *r = PQexec(other, sql.c_str());
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return ok;
    };
    // Ends every other session on the database (the host's), and waits until it is gone.
    auto cut = [&] {
        ASSERT_TRUE(other_exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                               "WHERE datname = current_database() AND pid <> pg_backend_pid()"));
        for (int i = 0; i < 200; ++i) {
            PGresult *r = PQexec(other, "SELECT count(*) FROM pg_stat_activity "
                                        "WHERE datname = current_database() AND pid <> pg_backend_pid()");
            bool gone = PQresultStatus(r) == PGRES_TUPLES_OK && std::strcmp(PQgetvalue(r, 0, 0), "0") == 0;
            PQclear(r);
            if (gone) return;
            usleep(10000);
        }
        FAIL() << "the host's session did not end";
    };
    auto call = [&] {
        host::datafile_snapshot_begin();
        Labels seen = walk(0, 16);
        Item it{};
        NameKey k = name_key("B");
        seen.push_back(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0) ? "found " + label(it) : "no B");
        host::datafile_snapshot_end();
        return seen;
    };
    const Labels both{"A:1", "B:2", "found B:2"};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(call(), both) << i;
    cut();
    EXPECT_EQ(call(), both);
    EXPECT_EQ(call(), both);
    // Changed while the host was cut off.
    cut();
    ASSERT_TRUE(other_exec("DELETE FROM test.items WHERE pos = (SELECT max(pos) FROM test.items)"));
    EXPECT_EQ(call(), (Labels{"A:1", "no B"}));
    EXPECT_EQ(call(), (Labels{"A:1", "no B"}));
    // On the connection made again, writes land and the next call sees them.
    cut();
    EXPECT_EQ(call(), (Labels{"A:1", "no B"}));
    EXPECT_TRUE(insert_item(item("C", 3)));
    EXPECT_EQ(call(), (Labels{"A:1", "C:3", "no B"}));
    PQfinish(other);
}

// A database removed under an open file (and a new one made under its name by another process)
// changes nothing for the open file: it keeps answering from the database it opened, inside a
// call as outside one, until it is opened again.
TEST_F(DatafileTest, ADatabaseRemovedUnderAnOpenFileKeepsAnsweringAsItWasOpened) {
    if (on_postgres()) GTEST_SKIP() << "the SQLite file itself";
    // The other process is forked before this one opens anything, so it has a connection of
    // its own; it makes the new database when told to.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(go[1]);
        char c;
        if (read(go[0], &c, 1) != 1) _exit(2);
        HostFile mine = open_items();
        _dfaSetBlk(mine);
        _exit(mine > 0 && insert_item(item("B", 2)) ? 0 : 1);
    }
    close(go[0]);
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("A", 1)));
    auto call = [] {
        host::datafile_snapshot_begin();
        Labels seen = walk(0, 16);
        host::datafile_snapshot_end();
        return seen;
    };
    EXPECT_EQ(call(), (Labels{"A:1"}));
    EXPECT_EQ(call(), (Labels{"A:1"}));
    for (const char *suffix : {"", "-wal", "-shm"}) std::filesystem::remove(dir_ + "/test.db" + suffix);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(call(), (Labels{"A:1"}));
    EXPECT_EQ(walk(0, 16), (Labels{"A:1"}));
    EXPECT_EQ(call(), (Labels{"A:1"}));
    host::datafile_close_all();
    HostFile again = open_items();
    ASSERT_GT(again, 0);
    _dfaSetBlk(again);
    EXPECT_EQ(call(), (Labels{"B:2"}));
}

// Everything a look-up or a read by position answers, through the store itself so that the
// caller's buffer can be smaller than the record: calls that ask again get exactly what the
// first got, duplicates in position order, records cut to the buffer, nothing found alike.
TEST_F(DatafileTest, AnswersGivenAgainAreExactlyTheFirstOnes) {
    namespace df = host::datafile;
    HostKeyDef defs[2] = {key_of(false, {{0, 4, HOST_KEY_TEXT}}), key_of(true, {{4, 4, HOST_KEY_INT32}})};
    std::vector<df::Key> keys;
    std::string why;
    ASSERT_TRUE(df::parse_keys(40, 2, defs, &keys, &why)) << why;
    df::Table *t = df::store_open(dir_, "answers.db", "t", 40, keys, &why);
    ASSERT_NE(t, nullptr) << why;
    std::vector<int64_t> positions;
    for (int i = 0; i < 12; ++i) {
        std::string rec = std::string(i % 3 == 0 ? "DUP" : i % 3 == 1 ? "ONE" : "TWO") + char('0' + i / 6);
        int32_t n = 100 - i;
        rec.append(reinterpret_cast<const char *>(&n), 4);
        rec.append(std::string(static_cast<size_t>(i * 3), static_cast<char>('a' + i))); // 8 to 41 bytes
        int64_t at = 0;
        ASSERT_EQ(df::table_insert(*t, rec.data(), std::min<int>(static_cast<int>(rec.size()), 40), &at), df::Status::ok);
        positions.push_back(at);
    }
    ASSERT_EQ(df::table_delete(*t, positions[4]), df::Status::ok);
    auto answers = [&](int capacity) {
        std::string all;
        char buffer[64];
        auto note = [&](df::Status s, const df::Found &found, const df::RecordOut *out) {
            all += std::to_string(static_cast<int>(s)) + "@" + std::to_string(found.position) + "[" + found.key + "]";
            if (out != nullptr) all += std::to_string(out->length) + ":" + std::string(buffer, static_cast<size_t>(std::max(out->length, 0)));
            all += "\n";
        };
        for (int keynum = 0; keynum < 2; ++keynum) {
            std::vector<std::string> probes;
            for (const char *text : {"", "DUP0", "DUP", "ONE0", "ONE1", "TWO1", "ZZZ", "ONE", "\x5f\0\0\0"}) {
                std::string buffer_of_key = std::string(text).append(8, '\0');
                probes.emplace_back();
                df::encode_search_key(keys[static_cast<size_t>(keynum)], reinterpret_cast<const unsigned char *>(buffer_of_key.data()), &probes.back());
            }
            for (const std::string &probe : probes)
                for (df::Seek op : {df::Seek::equal, df::Seek::greater, df::Seek::greater_equal, df::Seek::less})
                    for (bool with_record : {false, true}) {
                        df::Found found;
                        df::RecordOut out{buffer, capacity, -1};
                        std::memset(buffer, '.', sizeof buffer);
                        df::Status s = df::table_seek(*t, keynum, op, probe, 0, &found, with_record ? &out : nullptr);
                        note(s, found, with_record ? &out : nullptr);
                        // Walk on from there both ways, as far as it goes.
                        for (df::Seek way : {df::Seek::next, df::Seek::previous}) {
                            df::Found at = found;
                            for (int steps = 0; s == df::Status::ok && steps < 14; ++steps) {
                                df::Found step;
                                df::RecordOut more{buffer, capacity, -1};
                                df::Status r = df::table_seek(*t, keynum, way, at.key, at.position, &step, &more);
                                note(r, step, &more);
                                if (r != df::Status::ok) break;
                                at = step;
                            }
                        }
                    }
            for (int64_t p = 0; p <= positions.back() + 1; ++p) {
                df::Found found;
                df::RecordOut out{buffer, capacity, -1};
                note(df::table_read(*t, p, keynum, &found, &out), found, &out);
            }
        }
        return all;
    };
    const std::string whole = answers(40), cut = answers(9), none = answers(0);
    EXPECT_NE(whole, cut);
    for (int call = 0; call < 3; ++call) {
        df::store_snapshot_begin();
        EXPECT_EQ(answers(40), whole) << call;
        EXPECT_EQ(answers(9), cut) << call;
        EXPECT_EQ(answers(0), none) << call;
        df::store_snapshot_end();
    }
    // A record changed between calls: the next call's answers are the changed ones.
    int length = 0;
    std::string changed = "ONE0";
    int32_t n = 5;
    changed.append(reinterpret_cast<const char *>(&n), 4).append("changed");
    ASSERT_EQ(df::table_update(*t, positions[1], changed.data(), &length), df::Status::ok);
    const std::string after = answers(40);
    EXPECT_NE(after, whole);
    df::store_snapshot_begin();
    EXPECT_EQ(answers(40), after);
    df::store_snapshot_end();
    df::store_snapshot_begin();
    EXPECT_EQ(answers(40), after);
    df::store_snapshot_end();
}

TEST_F(DatafileTest, ASnapshotHoldsUntilItsEndOrAWriteOfItsOwn) {
    HostFile f = open_items();
    ASSERT_GT(f, 0);
    Selected sel(f);
    ASSERT_TRUE(insert_item(item("A", 1)));
    // Another connection to the same data: SQLite's file, or the PostgreSQL database.
    sqlite3 *other = nullptr;
    PGconn *remote = nullptr;
    if (on_postgres()) {
        remote = PQconnectdb(("postgresql://shopvera@/" + database_ + "?host=" + postgres_socket()).c_str());
        ASSERT_EQ(PQstatus(remote), CONNECTION_OK);
        PQclear(PQexec(remote, "SET search_path = test"));
    } else {
        ASSERT_EQ(sqlite3_open((dir_ + "/test.db").c_str(), &other), SQLITE_OK);
        sqlite3_busy_timeout(other, 5000);
    }
    auto other_exec = [&](std::string sql) {
        if (remote == nullptr) return sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        for (size_t at; (at = sql.find("x'00'")) != std::string::npos;) sql.replace(at, 5, "'\\x00'::bytea");
        PGresult *r = PQexec(remote, sql.c_str());
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return ok;
    };
    Item it{};
    auto has = [&](const char *name) {
        NameKey k = name_key(name);
        return _dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0) != 0;
    };

    host::datafile_snapshot_begin();
    host::datafile_snapshot_begin();  // nested: only the outermost pair counts
    EXPECT_TRUE(has("A"));
    ASSERT_TRUE(other_exec("DELETE FROM items"));
    host::datafile_snapshot_end();
    EXPECT_TRUE(has("A"));
    EXPECT_EQ(walk(0, 16), (Labels{"A:1"}));
    host::datafile_snapshot_end();
    EXPECT_FALSE(has("A"));
    ASSERT_TRUE(insert_item(item("A", 1)));

    host::datafile_snapshot_begin();
    EXPECT_TRUE(has("A"));
    // The other connection deletes A: inside the snapshot A is still there...
    ASSERT_TRUE(other_exec("DELETE FROM items"));
    EXPECT_TRUE(has("A"));
    EXPECT_EQ(walk(0, 16), (Labels{"A:1"}));
    // ...a write of our own is not refused, lands, and ends the snapshot: A is gone now.
    EXPECT_TRUE(insert_item(item("B", 2)));
    EXPECT_FALSE(has("A"));
    EXPECT_EQ(walk(0, 16), (Labels{"B:2"}));
    // A new snapshot started with that read: the other connection's next delete stays hidden
    // until the end of the call.
    ASSERT_TRUE(other_exec("DELETE FROM items"));
    EXPECT_TRUE(has("B"));
    host::datafile_snapshot_end();
    EXPECT_FALSE(has("B"));

    // Inside a snapshot an update after reads, and an explicit transaction, both land.
    ASSERT_TRUE(insert_item(item("C", 3)));
    host::datafile_snapshot_begin();
    ASSERT_TRUE(has("C"));
    ASSERT_TRUE(other_exec("INSERT INTO items(rec, k0, k1) SELECT rec, k0 || x'00', k1 FROM items"));
    it.value = 30;
    EXPECT_TRUE(_dfaUpdate(&it));
    ASSERT_TRUE(has("C"));
    EXPECT_TRUE(host::datafile_begin(f));
    EXPECT_TRUE(insert_item(item("D", 4)));
    EXPECT_TRUE(host::datafile_commit(f));
    EXPECT_FALSE(host::datafile_commit(f));  // none open any more
    host::datafile_snapshot_end();
    if (remote != nullptr) {
        PGresult *r = PQexec(remote, "SELECT count(*) FROM items");
        ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK);
        EXPECT_STREQ(PQgetvalue(r, 0, 0), "3");
        PQclear(r);
        PQfinish(remote);
    } else {
        sqlite3_stmt *stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(other, "SELECT count(*) FROM items", -1, &stmt, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(stmt, 0), 3);
        sqlite3_finalize(stmt);
        sqlite3_close(other);
    }
    EXPECT_TRUE(has("D"));
    ASSERT_TRUE(has("C"));
    EXPECT_EQ(it.value, 30);
}

// Inside a snapshot a walk reads ahead; it must find exactly what a walk outside one finds, in
// both directions, along runs of duplicates, with look-ups and reads by position between steps,
// and see a write of its own at once.
TEST_F(DatafileTest, WalksInsideASnapshotFindWhatWalksOutsideFind) {
    HostFile f = open_items(false);
    ASSERT_GT(f, 0);
    Selected sel(f);
    for (int i = 0; i < 120; ++i)
        ASSERT_TRUE(insert_item(item(("N" + std::to_string(i % 7)).c_str(), i)));
    auto backwards = [] {
        Labels seen;
        Item it{};
        NameKey top = name_key("Z");
        for (int ok = _dfaAcqLock(&it, &top, 0, HOST_GET_LESS, 0); ok;
             ok = _dfaAcqLock(&it, nullptr, 0, HOST_QUERY_PREVIOUS, 0))
            seen.push_back(label(it));
        return seen;
    };
    // Key-only steps with a read by position, as the product lists walk.
    auto by_position = [] {
        Labels seen;
        NameKey from = name_key("N3");
        Item it{};
        for (int ok = _dfaQuery(&from, 0, HOST_QUERY_GREATER_EQUAL); ok; ok = _dfaQueryNP(HOST_QUERY_NEXT)) {
            if (!_dfaGetAbsLock(&it, _dfaAbs(), 0, 0)) return Labels{"(unreadable)"};
            seen.push_back(label(it));
        }
        return seen;
    };
    const Labels forward = walk(0, 16), back = backwards(), from_n3 = by_position(), numeric = walk(1, 4);
    ASSERT_EQ(forward.size(), 120u);
    host::datafile_snapshot_begin();
    EXPECT_EQ(walk(0, 16), forward);
    EXPECT_EQ(backwards(), back);
    EXPECT_EQ(by_position(), from_n3);
    EXPECT_EQ(walk(1, 4), numeric);
    Item it{};
    NameKey n2 = name_key("N2");
    ASSERT_TRUE(_dfaAcqLock(&it, &n2, 0, HOST_GET_EQUAL, 0));
    EXPECT_EQ(label(it), "N2:2");
    ASSERT_TRUE(insert_item(item("N2", 500)));
    ASSERT_TRUE(_dfaAcqLock(&it, &n2, 0, HOST_GET_EQUAL, 0));
    int run = 1;
    while (_dfaAcqLock(&it, nullptr, 0, HOST_QUERY_NEXT, 0) && label(it).rfind("N2:", 0) == 0) ++run;
    EXPECT_EQ(run, 18) << "17 stored and the one just written";
    host::datafile_snapshot_end();
}

TEST_F(DatafileTest, ReopeningWithOtherKeysRebuildsThemOrRefuses) {
    HostKeyDef by_name[1] = {key_of(true, {{0, 16, HOST_KEY_TEXT}})};
    HostFile f = _dfaOpen("test.db", "items", sizeof(Item), 1, by_name);
    ASSERT_GT(f, 0);
    {
        Selected sel(f);
        ASSERT_TRUE(insert_item(item("B", 1)));
        ASSERT_TRUE(insert_item(item("A", 1)));
        ASSERT_TRUE(insert_item(item("C", 0)));
    }
    host::datafile_close_all();

    // A new second key: built from the stored records.
    HostKeyDef two[2] = {key_of(true, {{0, 16, HOST_KEY_TEXT}}),
                         key_of(false, {{16, 4, HOST_KEY_INT32}})};
    f = _dfaOpen("test.db", "items", sizeof(Item), 2, two);
    ASSERT_GT(f, 0);
    {
        Selected sel(f);
        EXPECT_EQ(walk(1, 4), (Labels{"C:0", "B:1", "A:1"}));
        EXPECT_TRUE(insert_item(item("D", 1)));
        EXPECT_EQ(walk(1, 4), (Labels{"C:0", "B:1", "A:1", "D:1"}));
    }
    host::datafile_close_all();

    // A unique key the stored records break is refused, and the file stays as it was.
    HostKeyDef unique_value[1] = {key_of(true, {{16, 4, HOST_KEY_INT32}})};
    EXPECT_EQ(_dfaOpen("test.db", "items", sizeof(Item), 1, unique_value), -1);
    f = _dfaOpen("test.db", "items", sizeof(Item), 2, two);
    ASSERT_GT(f, 0);
    Selected sel(f);
    EXPECT_EQ(walk(0, 16), (Labels{"A:1", "B:1", "C:0", "D:1"}));
    // Within one process a table is open with one definition at a time.
    EXPECT_EQ(_dfaOpen("test.db", "items", sizeof(Item), 1, by_name), -1);
}

TEST_F(DatafileTest, LookUpsSeekAnIndexAndNeverScan) {
    HostFile unique = open_items(true);
    HostFile dups = open_items(false, "dups");
    if (on_postgres()) {
        // Every look-up walks the (key, position) index in its order: no table scan, no sort,
        // and next and previous seek key and position together.
        for (HostFile f : {unique, dups})
            for (int keynum : {0, 1})
                for (int op : {HOST_GET_EQUAL, HOST_GET_GREATER, HOST_GET_GREATER_EQUAL,
                               HOST_GET_LESS, HOST_QUERY_NEXT, HOST_QUERY_PREVIOUS}) {
                    std::string plan = host::datafile_explain(f, keynum, op);
                    SCOPED_TRACE(plan);
                    EXPECT_NE(plan.find("Index Scan"), std::string::npos);
                    EXPECT_EQ(plan.find("Seq Scan"), std::string::npos);
                    EXPECT_EQ(plan.find("Sort"), std::string::npos);
                }
        EXPECT_NE(host::datafile_explain(dups, 0, HOST_QUERY_NEXT).find("ROW(k0, pos) >"),
                  std::string::npos);
        return;
    }
    for (HostFile f : {unique, dups})
        for (int keynum : {0, 1})
            for (int op : {HOST_GET_EQUAL, HOST_GET_GREATER, HOST_GET_GREATER_EQUAL, HOST_GET_LESS,
                           HOST_QUERY_NEXT, HOST_QUERY_PREVIOUS}) {
                std::string plan = host::datafile_explain(f, keynum, op);
                SCOPED_TRACE(plan);
                EXPECT_NE(plan.find("USING"), std::string::npos);
                EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos);
                // Only a one-row subquery is ever scanned, never a table.
                for (size_t at = plan.find("SCAN"); at != std::string::npos;
                     at = plan.find("SCAN", at + 1))
                    EXPECT_EQ(plan.compare(at, 15, "SCAN (subquery-"), 0);
            }
    // Stepping within a run of duplicates seeks on key and position together.
    EXPECT_NE(host::datafile_explain(dups, 0, HOST_QUERY_NEXT).find("AND pos>?"),
              std::string::npos);
}

TEST_F(DatafileTest, BadHandlesNamesAndArgumentsAnswerZero) {
    HostKeyDef key[1] = {key_of(true, {{0, 16, HOST_KEY_TEXT}})};
    EXPECT_EQ(_dfaOpen("test.db", "bad name", 64, 1, key), -1);
    EXPECT_EQ(_dfaOpen("test.db", "sqlite_master", 64, 1, key), -1);
    EXPECT_EQ(_dfaOpen("../test.db", "items", 64, 1, key), -1);
    EXPECT_EQ(_dfaOpen("test.db", "items", 8, 1, key), -1); // key outside the record
    EXPECT_EQ(_dfaOpen(nullptr, nullptr, 64, 1, key), -1);
    EXPECT_EQ(_dfaOpen("test.db", "items", 64, 1, nullptr), -1);

    Item it{};
    NameKey k = name_key("A");
    // Nothing selected.
    EXPECT_FALSE(_dfaAcqLock(&it, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_FALSE(_dfaInsert(&it));
    EXPECT_EQ(_dfaAbs(), 0);
    _dfaRstBlk(); // popping an empty stack is harmless
    for (HostFile bad : {-1, 0, 12345}) {
        Selected sel(bad);
        EXPECT_FALSE(_dfaQuery(&k, 0, HOST_QUERY_EQUAL));
        EXPECT_FALSE(_dfaQueryNP(HOST_QUERY_NEXT));
        EXPECT_FALSE(_dfaGetAbsLock(&it, 1, 0, 0));
        EXPECT_FALSE(_dfaInsertV(&it, 10));
        EXPECT_FALSE(_dfaUpdate(&it));
        EXPECT_FALSE(_dfaDelete());
        EXPECT_EQ(_dfaRecLen(), 0);
        EXPECT_FALSE(host::datafile_begin(bad));
    }

    HostFile f = open_items();
    HostFile g = open_items(true, "others");
    ASSERT_GT(f, 0);
    ASSERT_GT(g, 0);
    _dfaSetBlk(f);
    ASSERT_TRUE(insert_item(item("IN-F", 1)));
    _dfaSetBlk(g); // nested: g until it is restored
    EXPECT_FALSE(_dfaAcqLock(&it, name_key("IN-F").name, 0, HOST_GET_EQUAL, 0));
    _dfaRstBlk();
    EXPECT_TRUE(_dfaAcqLock(&it, name_key("IN-F").name, 0, HOST_GET_EQUAL, 0));
    EXPECT_FALSE(_dfaAcqLock(&it, &k, 5, HOST_GET_EQUAL, 0)); // no key 5
    EXPECT_FALSE(_dfaAcqLock(&it, &k, 0, 77, 0));             // no op 77
    EXPECT_FALSE(_dfaAcqLock(&it, nullptr, 0, HOST_GET_EQUAL, 0));
    EXPECT_FALSE(_dfaAcqLock(nullptr, &k, 0, HOST_GET_EQUAL, 0));
    EXPECT_FALSE(_dfaAcqAbsLock(&it, 1, 9, 0));
    host::datafile_reset_selection();
    EXPECT_FALSE(_dfaAcqLock(&it, name_key("IN-F").name, 0, HOST_GET_EQUAL, 0));

    // A second handle on the same table has its own current record.
    HostFile f2 = open_items();
    ASSERT_GT(f2, 0);
    EXPECT_NE(f2, f);
    _dfaSetBlk(f2);
    EXPECT_EQ(_dfaAbs(), 0);
    EXPECT_TRUE(_dfaAcqLock(&it, name_key("IN-F").name, 0, HOST_GET_EQUAL, 0));
    host::datafile_reset_selection();
}

}  // namespace
