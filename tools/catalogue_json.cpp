// Catalogue JSON to records and back. The record layouts set the limits: a text that would not
// fit its field, or a number outside it, is refused with its place in the file, never cut.
#include "tools/catalogue_json.h"

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <unordered_map>
#include <utility>
#include <vector>
#include <nlohmann/json.hpp>

namespace mallctl {
namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

// Where a value lies in the file ("stores[0].products[3].id"), spelt out only when there is
// something to report: a catalogue of a million products holds tens of millions of good values,
// and writing down the place of each would cost more than reading it. A place refers to its
// parent, so it lives no longer than the call that made it.
struct Place {
    const Place *parent = nullptr;
    const char *name = nullptr;  // a member of the parent; nullptr for an entry of a list
    size_t index = 0;            // the entry's index when name is nullptr
};

std::string text_of(const Place &p) {
    if (p.parent == nullptr) return p.name != nullptr ? p.name : "";
    std::string up = text_of(*p.parent);
    if (p.name != nullptr) return up.empty() ? std::string(p.name) : up + "." + p.name;
    return up + "[" + std::to_string(p.index) + "]";
}

Place at(const Place &place, const char *name) { return {&place, name, 0}; }
Place at(const Place &place, size_t index) { return {&place, nullptr, index}; }

// Every reader reports through this and carries on with a zero value, so that one run names
// every bad value in the file rather than the first.
struct Check {
    std::vector<std::string> *problems;
    void report(const Place &place, const std::string &what) const {
        std::string where = text_of(place);
        problems->push_back(where.empty() ? what : where + ": " + what);
    }
};

const char *kind_of(const json &v) {
    switch (v.type()) {
    case json::value_t::string: return "a text";
    case json::value_t::boolean: return "true or false";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float: return "a number";
    case json::value_t::array: return "a list";
    case json::value_t::object: return "an object";
    default: return "null";
    }
}

void wrong_type(const Check &c, const Place &place, const char *expected, const json &v) {
    c.report(place, std::string("wrong type: expected ") + expected + ", got " + kind_of(v));
}

// A member, or nullptr when absent. null reads as absent: a missing field is zero or empty.
const json *member(const json &object, const char *name) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

// An object, with any field it should not hold reported: a misspelt "descripton" would
// otherwise vanish without a word.
bool object_of(const Check &c, const json &v, const Place &place, const std::vector<const char *> &fields) {
    if (!v.is_object()) {
        wrong_type(c, place, "an object", v);
        return false;
    }
    for (auto it = v.begin(); it != v.end(); ++it) {
        bool known = false;
        for (const char *f : fields) known = known || it.key() == f;
        if (!known) c.report(at(place, it.key().c_str()), "unknown field");
    }
    return true;
}

// A list of at most most entries; nullptr when absent or bad.
const json *list_of(const Check &c, const json &object, const char *name, const Place &place, size_t most) {
    const json *v = member(object, name);
    if (v == nullptr) return nullptr;
    if (!v->is_array()) {
        wrong_type(c, at(place, name), "a list", *v);
        return nullptr;
    }
    if (v->size() > most) {
        c.report(at(place, name), std::to_string(v->size()) + " entries, at most " + std::to_string(most));
        return nullptr;
    }
    return v;
}

bool is_ascii(const std::string &s) {
    for (unsigned char ch : s)
        if (ch >= 0x80) return false;
    return true;
}

// Lengths count bytes; for plain ASCII a byte is a character, and that is how the operator
// counts.
std::string too_long(const std::string &s, size_t most) {
    if (is_ascii(s)) return std::to_string(s.size()) + " characters, at most " + std::to_string(most);
    return std::to_string(s.size()) + " bytes of UTF-8, at most " + std::to_string(most);
}

// A text for a field of size bytes, terminator included. The field is zero already.
bool text_value(const Check &c, const json &v, const Place &place, char *field, size_t size,
                std::string *out = nullptr) {
    if (!v.is_string()) {
        wrong_type(c, place, "a text", v);
        return false;
    }
    const std::string &s = v.get_ref<const std::string &>();
    if (s.find('\0') != std::string::npos) {
        c.report(place, "holds a NUL character");
        return false;
    }
    if (s.size() > size - 1) {
        c.report(place, too_long(s, size - 1));
        return false;
    }
    std::memcpy(field, s.data(), s.size());
    if (out != nullptr) *out = s;
    return true;
}

void text(const Check &c, const json &object, const char *name, const Place &place, char *field, size_t size) {
    if (const json *v = member(object, name)) text_value(c, *v, at(place, name), field, size);
}

std::string out_of_range(int64_t lo, int64_t hi) {
    return "out of range, " + std::to_string(lo) + " to " + std::to_string(hi);
}

// A whole number in [lo, hi]; 0 when absent or bad. A float with nothing after the point
// (5.0) is taken: it is the same number.
int64_t whole(const Check &c, const json &object, const char *name, const Place &place, int64_t lo, int64_t hi) {
    const json *v = member(object, name);
    if (v == nullptr) return 0;
    if (v->is_number_unsigned()) {
        uint64_t u = v->get<uint64_t>();
        if (u > static_cast<uint64_t>(hi)) {
            c.report(at(place, name), std::to_string(u) + " is " + out_of_range(lo, hi));
            return 0;
        }
        return static_cast<int64_t>(u);
    }
    if (v->is_number_integer()) {
        int64_t i = v->get<int64_t>();
        if (i < lo || i > hi) {
            c.report(at(place, name), std::to_string(i) + " is " + out_of_range(lo, hi));
            return 0;
        }
        return i;
    }
    if (v->is_number_float()) {
        double d = v->get<double>();
        if (std::floor(d) != d) {
            c.report(at(place, name), "wrong type: expected a whole number, got " + v->dump());
            return 0;
        }
        if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) {
            c.report(at(place, name), v->dump() + " is " + out_of_range(lo, hi));
            return 0;
        }
        return static_cast<int64_t>(d);
    }
    wrong_type(c, at(place, name), "a whole number", *v);
    return 0;
}

// An amount kept as a single-precision float: a price, a weight, a percentage. None of them
// is negative; most is FLT_MAX for amounts, 100 for percentages.
float amount(const Check &c, const json &object, const char *name, const Place &place, double most) {
    const json *v = member(object, name);
    if (v == nullptr) return 0;
    if (!v->is_number()) {
        wrong_type(c, at(place, name), "a number", *v);
        return 0;
    }
    double d = v->get<double>();
    if (d < 0) {
        c.report(at(place, name), v->dump() + " is negative");
        return 0;
    }
    // The largest float written with nine digits lies a little above FLT_MAX and still rounds
    // to it, so the test is on the rounded value.
    if (most == FLT_MAX && std::isinf(static_cast<float>(d))) {
        c.report(at(place, name), v->dump() + " is too large for a single-precision amount");
        return 0;
    }
    if (most != FLT_MAX && d > most) {
        c.report(at(place, name), v->dump() + " is out of range, 0 to " + std::to_string(static_cast<int>(most)));
        return 0;
    }
    return static_cast<float>(d);
}

enum class IdKind { store, department, product };

bool id_char(unsigned char ch, IdKind kind) {
    if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9')) return true;
    if (ch == '-' || ch == '_') return true;
    return kind == IdKind::product && (ch == ' ' || ch == '.');
}

// An identifier: required, of its characters only, fitting its field. Store and department
// ids are kept in capitals: the pages look them up in capitals and page on by their last
// character. Returns the id as stored ("" when bad), for the duplicate checks.
std::string identifier(const Check &c, const json &object, const char *name, const Place &place, char *field,
                       size_t size, IdKind kind) {
    const json *v = member(object, name);
    if (v == nullptr || (v->is_string() && v->get_ref<const std::string &>().empty())) {
        c.report(at(place, name), "missing; an identifier is required");
        return "";
    }
    if (!v->is_string()) {
        wrong_type(c, at(place, name), "a text", *v);
        return "";
    }
    std::string id = v->get<std::string>();
    bool reserved = kind == IdKind::department && id == kReservedDeptId;
    if (!reserved) {
        bool good = true;
        for (unsigned char ch : id) good = good && id_char(ch, kind);
        if (!good) {
            c.report(at(place, name), json(id).dump() + (kind == IdKind::product
                                                             ? " may hold only letters, digits, blanks, '-', '_' and '.'"
                                                             : " may hold only letters, digits, '-' and '_'"));
            return "";
        }
        if (id.find_first_not_of(' ') == std::string::npos) {
            c.report(at(place, name), "only blanks; an identifier is required");
            return "";
        }
    }
    if (id.size() > size - 1) {
        c.report(at(place, name), too_long(id, size - 1));
        return "";
    }
    if (kind != IdKind::product) id = upper(id);
    std::memcpy(field, id.data(), id.size());
    return id;
}

// A name that keys a record by itself (a format): required and fitting.
std::string key_text(const Check &c, const json &object, const char *name, const Place &place, char *field,
                     size_t size) {
    const json *v = member(object, name);
    if (v == nullptr || (v->is_string() && v->get_ref<const std::string &>().empty())) {
        c.report(at(place, name), "missing; a name is required");
        return "";
    }
    std::string s;
    return text_value(c, *v, at(place, name), field, size, &s) ? s : "";
}

// Remembers the records of one kind seen so far in one list by their folded key, with the
// index of the entry that named each: two entries that differ only in letter case are one
// record, and a file that lists a record twice is ambiguous.
struct Seen {
    std::unordered_map<std::string, size_t> first;
    // key is the record's key, shown its id as the operator wrote it; the id is field of entry
    // index of list.
    void add(const Check &c, const std::string &key, const std::string &shown, const Place &list, size_t index,
             const char *field) {
        if (key.empty()) return;
        auto [it, fresh] = first.emplace(upper(key), index);
        if (!fresh)
            c.report(at(at(list, index), field), json(shown).dump() + " is listed twice (also at " +
                                                     text_of(at(at(list, it->second), field)) + ")");
    }
};

// ---- numbers as the file writes them

// Copies a number out of a packed record; json's constructors take their argument by
// reference, which must never bind to a packed field.
template <typename T> T num(T value) { return value; }

// The shortest decimal that reads back as the same float. Read back means what import does,
// the JSON reader's double rounded to float, so the test takes that same route.
double shortest(float value) {
    char buffer[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(buffer, sizeof buffer, "%.*g", digits, static_cast<double>(value));
        double d = std::strtod(buffer, nullptr);
        if (static_cast<float>(d) == value) return d;
    }
    return value;
}

// An amount as JSON: whole amounts as whole numbers (8, not 8.0), the way an operator writes them.
ordered_json amount_json(float value) {
    double d = shortest(value);
    if (std::floor(d) == d && std::fabs(d) < 1e15) return static_cast<int64_t>(d);
    return d;
}

// ---- the field tables
// Every field of a record as the file names it, once: each table gives the members an entry may
// hold, and drives both the reader (with its checks) and the writer, in the file's order. A
// field the table cannot describe (a list of records, the discount pairs, the keywords) is
// "nested": the table keeps its name and place, and the caller reads and writes it there.

enum class FieldKind { text, whole, amount, texts, identifier, key, nested };

struct Field {
    const char *name;
    FieldKind kind;
    size_t offset = 0;
    size_t size = 0;        // text, identifier, key: the field's bytes; texts: one text's; whole: the number's
    size_t count = 0;       // texts: how many
    int64_t lo = 0, hi = 0; // whole: the range
    double most = 0;        // amount: the largest
    IdKind id = IdKind::store;
    bool trim_tail = false; // texts: empty texts at the end are not written
};

constexpr Field Text(const char *name, size_t offset, size_t size) {
    return {name, FieldKind::text, offset, size};
}
constexpr Field Whole(const char *name, size_t offset, size_t size, int64_t lo, int64_t hi) {
    return {name, FieldKind::whole, offset, size, 0, lo, hi};
}
constexpr Field Amount(const char *name, size_t offset, double most = FLT_MAX) {
    return {name, FieldKind::amount, offset, sizeof(float), 0, 0, 0, most};
}
constexpr Field Texts(const char *name, size_t offset, size_t size, size_t count, bool trim_tail = false) {
    return {name, FieldKind::texts, offset, size, count, 0, 0, 0, IdKind::store, trim_tail};
}
constexpr Field Identifier(const char *name, size_t offset, size_t size, IdKind kind) {
    return {name, FieldKind::identifier, offset, size, 0, 0, 0, 0, kind};
}
constexpr Field Key(const char *name, size_t offset, size_t size) {
    return {name, FieldKind::key, offset, size};
}
constexpr Field Nested(const char *name) { return {name, FieldKind::nested}; }

#define AT(record, field) offsetof(record, field), sizeof(record::field)

const Field kStoreFields[] = {
    Identifier("id", AT(StoreRecord, store_id), IdKind::store),
    Text("name", AT(StoreRecord, name)),
    Text("mail_user", AT(StoreRecord, mail_user)),
    Text("access_key", AT(StoreRecord, access_key)),
    Text("icon", AT(StoreRecord, icon)),
    Text("po_key", AT(StoreRecord, po_key)),
    Text("description", AT(StoreRecord, description)),
    Nested("extended"),
    Nested("departments"),
    Nested("formats"),
    Nested("products"),
};

const Field kExtendedFields[] = {
    Amount("max_order", offsetof(ExtendedStoreRecord, max_order)),
    Whole("options", AT(ExtendedStoreRecord, options), 0, UINT16_MAX),
    Whole("download_options", AT(ExtendedStoreRecord, download_options), 0, UINT16_MAX),
    Text("manager", AT(ExtendedStoreRecord, manager)),
    Text("address", AT(ExtendedStoreRecord, address)),
    Text("city_state_zip", AT(ExtendedStoreRecord, city_state_zip)),
    Text("country", AT(ExtendedStoreRecord, country)),
    Text("phone", AT(ExtendedStoreRecord, phone)),
    Text("fax", AT(ExtendedStoreRecord, fax)),
    Text("weight_format", AT(ExtendedStoreRecord, weight_format)),
    Whole("tax_settings", AT(ExtendedStoreRecord, tax_settings), 0, UINT32_MAX),
    Texts("questions", offsetof(ExtendedStoreRecord, questions), kQuestionSize, kQuestions),
};

const Field kDepartmentFields[] = {
    Identifier("id", AT(DepartmentRecord, dept_id), IdKind::department),
    Text("name", AT(DepartmentRecord, name)),
    Text("icon", AT(DepartmentRecord, icon)),
    Whole("flags", AT(DepartmentRecord, flags), 0, UINT8_MAX),
    Text("description", AT(DepartmentRecord, description)),
};

// An empty choice does not exist, but the ones after it keep their numbers (the offered bits and
// the order lines count by them), so only the empty tail is left out.
const Field kFormatFields[] = {
    Key("name", AT(FormatRecord, name)),
    Texts("choices", offsetof(FormatRecord, choices), kFormatChoiceSize, kFormatChoices, true),
};

const Field kProductFields[] = {
    Identifier("department", AT(ProductRecord, dept_id), IdKind::department),
    Identifier("id", AT(ProductRecord, product_id), IdKind::product),
    Text("name", AT(ProductRecord, name)),
    Text("description", AT(ProductRecord, description)),
    Whole("flags", AT(ProductRecord, flags), 0, UINT16_MAX),
    Amount("price", offsetof(ProductRecord, price)),
    Amount("member_price", offsetof(ProductRecord, member_price)),
    Text("member_key", AT(ProductRecord, member_key)),
    Text("tax_exempt_key", AT(ProductRecord, tax_exempt_key)),
    Amount("handling_first", offsetof(ProductRecord, handling_first)),
    Amount("handling_more", offsetof(ProductRecord, handling_more)),
    Whole("info_kind", AT(ProductRecord, info_kind), 0, 3),
    Text("download", AT(ProductRecord, download)),
    Texts("pictures", offsetof(ProductRecord, pictures), sizeof ProductRecord::pictures[0], kPictures),
    Text("abstract", AT(ProductRecord, abstract)),
    Text("sound", AT(ProductRecord, sound)),
    Whole("stock", AT(ProductRecord, stock), INT32_MIN, INT32_MAX),
    Text("format1", AT(ProductRecord, format1)),
    Text("format2", AT(ProductRecord, format2)),
    Whole("offered", AT(ProductRecord, offered), 0, UINT32_MAX),
    Nested("discounts"),
    Amount("weight", offsetof(ProductRecord, weight)),
    Nested("keywords"),
};

#undef AT

// The pairs of the discount table, an object each.
const Field kDiscountFields[] = {
    Whole("min", offsetof(DiscountRange, min), sizeof(int32_t), INT32_MIN, INT32_MAX),
    Whole("max", offsetof(DiscountRange, max), sizeof(int32_t), INT32_MIN, INT32_MAX),
};

template <size_t N>
constexpr std::pair<const Field *, size_t> fields(const Field (&table)[N]) { return {table, N}; }
using Fields = std::pair<const Field *, size_t>;

// Whether v is an object that holds only members of the table.
bool object_of(const Check &c, const json &v, const Place &place, Fields table,
               std::initializer_list<const char *> more = {}) {
    std::vector<const char *> names;
    for (size_t i = 0; i < table.second; ++i) names.push_back(table.first[i].name);
    names.insert(names.end(), more.begin(), more.end());
    return object_of(c, v, place, names);
}

void store_whole(char *at, size_t size, int64_t value) {
    if (size == 1) { uint8_t n = static_cast<uint8_t>(value); std::memcpy(at, &n, 1); }
    else if (size == 2) { uint16_t n = static_cast<uint16_t>(value); std::memcpy(at, &n, 2); }
    else { uint32_t n = static_cast<uint32_t>(value); std::memcpy(at, &n, 4); }
}

ordered_json load_whole(const char *at, size_t size, bool is_signed) {
    if (size == 1) { uint8_t n; std::memcpy(&n, at, 1); return n; }
    if (size == 2) { uint16_t n; std::memcpy(&n, at, 2); return n; }
    if (is_signed) { int32_t n; std::memcpy(&n, at, 4); return n; }
    uint32_t n;
    std::memcpy(&n, at, 4);
    return n;
}

float load_float(const char *at) {
    float f;
    std::memcpy(&f, at, sizeof f);
    return f;
}

// Reads the members of v that the table names into record, in the table's order; nested(field)
// reads a nested member at its place.
template <typename Nested>
void read_fields(const Check &c, const json &v, const Place &place, void *record, Fields table, Nested nested) {
    char *base = static_cast<char *>(record);
    for (size_t i = 0; i < table.second; ++i) {
        const Field &f = table.first[i];
        char *at_field = base + f.offset;
        switch (f.kind) {
        case FieldKind::text: text(c, v, f.name, place, at_field, f.size); break;
        case FieldKind::whole: store_whole(at_field, f.size, whole(c, v, f.name, place, f.lo, f.hi)); break;
        case FieldKind::amount: {
            float value = amount(c, v, f.name, place, f.most);
            std::memcpy(at_field, &value, sizeof value);
            break;
        }
        case FieldKind::texts:
            if (const json *list = list_of(c, v, f.name, place, f.count)) {
                const Place where = at(place, f.name);
                for (size_t n = 0; n < list->size(); ++n)
                    text_value(c, (*list)[n], at(where, n), at_field + n * f.size, f.size);
            }
            break;
        case FieldKind::identifier: identifier(c, v, f.name, place, at_field, f.size, f.id); break;
        case FieldKind::key: key_text(c, v, f.name, place, at_field, f.size); break;
        case FieldKind::nested: nested(f); break;
        }
    }
}

void read_fields(const Check &c, const json &v, const Place &place, void *record, Fields table) {
    read_fields(c, v, place, record, table, [](const Field &) {});
}

// The members of record the table names, in its order; nested(field, &out) writes a nested one.
template <typename Nested>
ordered_json write_fields(const void *record, Fields table, Nested nested) {
    const char *base = static_cast<const char *>(record);
    ordered_json out;
    for (size_t i = 0; i < table.second; ++i) {
        const Field &f = table.first[i];
        const char *at_field = base + f.offset;
        switch (f.kind) {
        case FieldKind::text:
        case FieldKind::identifier:
        case FieldKind::key: out[f.name] = field_text(at_field, f.size); break;
        case FieldKind::whole: out[f.name] = load_whole(at_field, f.size, f.lo < 0); break;
        case FieldKind::amount: out[f.name] = amount_json(load_float(at_field)); break;
        case FieldKind::texts: {
            size_t count = f.count;
            while (f.trim_tail && count > 0 && at_field[(count - 1) * f.size] == '\0') --count;
            ordered_json texts = ordered_json::array();
            for (size_t n = 0; n < count; ++n) texts.push_back(field_text(at_field + n * f.size, f.size));
            out[f.name] = texts;
            break;
        }
        case FieldKind::nested: nested(f, &out); break;
        }
    }
    return out;
}

ordered_json write_fields(const void *record, Fields table) {
    return write_fields(record, table, [](const Field &, ordered_json *) {});
}

void read_extended(const Check &c, const json &v, const Place &place, ExtendedStoreRecord *r) {
    if (!object_of(c, v, place, fields(kExtendedFields))) return;
    read_fields(c, v, place, r, fields(kExtendedFields));
}

void read_department(const Check &c, const json &v, const Place &place, const std::string &store_id,
                     DepartmentRecord *r, std::string *id) {
    r->record_type = kRecordDepartment;
    std::memcpy(r->store_id, store_id.data(), store_id.size());
    if (!object_of(c, v, place, fields(kDepartmentFields))) return;
    read_fields(c, v, place, r, fields(kDepartmentFields));
    *id = field_text(r->dept_id, sizeof r->dept_id);
}

void read_format(const Check &c, const json &v, const Place &place, const std::string &store_id, FormatRecord *r,
                 std::string *name) {
    std::memcpy(r->store_id, store_id.data(), store_id.size());
    if (!object_of(c, v, place, fields(kFormatFields))) return;
    read_fields(c, v, place, r, fields(kFormatFields));
    *name = field_text(r->name, sizeof r->name);
}

void read_discounts(const Check &c, const json &v, const Place &place, ProductRecord *r) {
    const json *discounts = list_of(c, v, "discounts", place, kDiscounts);
    if (discounts == nullptr) return;
    const Place list = at(place, "discounts");
    for (size_t i = 0; i < discounts->size(); ++i) {
        const json &d = (*discounts)[i];
        const Place where = at(list, i);
        if (!object_of(c, d, where, fields(kDiscountFields), {"percent"})) continue;
        read_fields(c, d, where, &r->discounts[i], fields(kDiscountFields));
        r->discount_percent[i] = amount(c, d, "percent", where, 100);
    }
}

// Given keywords are kept as listed, in capitals, each once: a keyword listed twice would show
// the product twice in one search.
void add_keyword(std::vector<std::string> *keywords, const std::string &keyword) {
    for (const auto &k : *keywords)
        if (k == keyword) return;
    keywords->push_back(keyword);
}

// The product's keywords; one per word of its name when it lists none.
void read_keywords(const Check &c, const json &v, const Place &place, ProductEntry *entry) {
    const json *keywords = member(v, "keywords");
    if (keywords == nullptr) {
        entry->keywords = default_keywords(field_text(entry->record.name, sizeof entry->record.name));
    } else if (!keywords->is_array()) {
        wrong_type(c, at(place, "keywords"), "a list", *keywords);
    } else {
        const Place list = at(place, "keywords");
        for (size_t i = 0; i < keywords->size(); ++i) {
            const json &k = (*keywords)[i];
            char field[kKeywordSize] = {};
            std::string keyword;
            if (k.is_string() && k.get_ref<const std::string &>().empty()) c.report(at(list, i), "empty keyword");
            else if (text_value(c, k, at(list, i), field, sizeof field, &keyword)) add_keyword(&entry->keywords, upper(keyword));
        }
    }
}

void read_product(const Check &c, const json &v, const Place &place, const std::string &store_id,
                  ProductEntry *entry, std::string *dept, std::string *id) {
    ProductRecord *r = &entry->record;
    std::memcpy(r->store_id, store_id.data(), store_id.size());
    if (!object_of(c, v, place, fields(kProductFields))) return;
    read_fields(c, v, place, r, fields(kProductFields), [&](const Field &f) {
        if (std::string(f.name) == "discounts") read_discounts(c, v, place, r);
        else read_keywords(c, v, place, entry);
    });
    *dept = field_text(r->dept_id, sizeof r->dept_id);
    *id = field_text(r->product_id, sizeof r->product_id);
}

// ---- products as the parser meets them

// The products of one store entry. Each is turned into its record as soon as the parser has
// read it, and dropped from the document: the document of a million products would take
// gigabytes, their records one. What is wrong with them waits here until the store's own values
// have been checked, so that the problems come in the order the entry is read in.
struct StoreProducts {
    std::vector<ProductEntry> entries;
    std::vector<std::string> problems;
    Seen seen;
};

// What the parser has met so far. Per depth of the document: whether a list is open there, and
// the member being read; a product is an entry of the list "products" of an entry of the list
// "stores" of the top object (depth 4).
struct Reading {
    const ReadProgress *progress = nullptr;
    size_t products = 0;
    std::vector<char> is_list;
    std::vector<std::string> member;
    std::vector<StoreProducts> stores;  // by index in "stores"
};

bool in_stores(const Reading &r) { return !r.is_list[0] && r.member[1] == "stores" && r.is_list[1]; }
bool in_products(const Reading &r) { return in_stores(r) && !r.is_list[2] && r.member[3] == "products" && r.is_list[3]; }

void read_streamed_product(Reading *r, const json &v) {
    StoreProducts &s = r->stores.back();
    const size_t index = s.entries.size();
    const Place root, stores = at(root, "stores"), store = at(stores, r->stores.size() - 1),
                      list = at(store, "products");
    Check c{&s.problems};
    std::string dept, id;
    // The store's id is not known yet (it may come after its products): read_store fills it in.
    read_product(c, v, at(list, index), "", &s.entries.emplace_back(), &dept, &id);
    // Unique within a department: the same id may name a product in two departments.
    if (!dept.empty() && !id.empty()) s.seen.add(c, dept + '\n' + id, id, list, index, "id");
    ++r->products;
}

// The parser's callback: true keeps the value in the document.
bool on_parse(Reading *r, int depth, json::parse_event_t event, json &parsed) {
    const size_t d = static_cast<size_t>(depth);
    if (r->is_list.size() < d + 2) {
        r->is_list.resize(d + 2, 0);
        r->member.resize(d + 2);
    }
    switch (event) {
    case json::parse_event_t::key:
        r->member[d] = parsed.get_ref<const std::string &>();
        // An object that names a member twice keeps the last: so do the products read early.
        if (d == 1 && !r->is_list[0] && r->member[1] == "stores") r->stores.clear();
        if (d == 3 && in_stores(*r) && !r->is_list[2] && r->member[3] == "products") r->stores.back() = {};
        return true;
    case json::parse_event_t::object_start:
    case json::parse_event_t::array_start:
        r->is_list[d] = event == json::parse_event_t::array_start;
        if (d == 2 && in_stores(*r)) r->stores.emplace_back();
        return true;
    case json::parse_event_t::value:
        if (d == 2 && in_stores(*r)) r->stores.emplace_back();
        [[fallthrough]];
    case json::parse_event_t::object_end:
    case json::parse_event_t::array_end:
        if (d == 4 && in_products(*r)) {
            read_streamed_product(r, parsed);
            return false;
        }
        return true;
    }
    return true;
}

// The entries of one of a store's lists, each read into a record of its own by read, which also
// gives its key; two entries with one key are reported at the second.
template <typename Record, typename Read>
void read_records(const Check &c, const json &v, const Place &place, const char *name, const char *key_field,
                  std::vector<Record> *out, Read read) {
    const json *list = list_of(c, v, name, place, SIZE_MAX);
    if (list == nullptr) return;
    const Place where = at(place, name);
    Seen seen;
    out->reserve(list->size());
    for (size_t i = 0; i < list->size(); ++i) {
        Record record{};
        std::string key;
        read((*list)[i], at(where, i), &record, &key);
        seen.add(c, key, key, where, i, key_field);
        out->push_back(record);
    }
}

void read_store(const Check &c, const json &v, const Place &place, StoreEntry *entry, std::string *id,
                StoreProducts *products) {
    StoreRecord *r = &entry->store;
    r->record_type = kRecordStore;
    if (!object_of(c, v, place, fields(kStoreFields))) return;
    // The store's own values come first; its lists, read below, need its id.
    read_fields(c, v, place, r, fields(kStoreFields), [](const Field &) {});
    *id = field_text(r->store_id, sizeof r->store_id);

    if (const json *ext = member(v, "extended")) {
        entry->has_extended = true;
        entry->extended.record_type = kRecordExtended;
        std::memcpy(entry->extended.store_id, id->data(), id->size());
        read_extended(c, *ext, at(place, "extended"), &entry->extended);
    }

    read_records(c, v, place, "departments", "id", &entry->departments,
                 [&](const json &e, const Place &where, DepartmentRecord *d, std::string *key) {
                     read_department(c, e, where, *id, d, key);
                 });
    read_records(c, v, place, "formats", "name", &entry->formats,
                 [&](const json &e, const Place &where, FormatRecord *f, std::string *key) {
                     read_format(c, e, where, *id, f, key);
                 });
    // The parser has read the entries of the list already, and left it empty.
    if (list_of(c, v, "products", place, SIZE_MAX) != nullptr) {
        entry->products = std::move(products->entries);
        for (ProductEntry &p : entry->products) std::memcpy(p.record.store_id, id->data(), id->size());
        for (std::string &problem : products->problems) c.problems->push_back(std::move(problem));
    }
}

// The text as the JSON reader walks it, one character at a time, telling how far it has come
// every few megabytes.
struct TextCursor {
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char *;
    using reference = const char &;
    static constexpr size_t kStep = 8 << 20;

    const char *here = nullptr;
    const char *mark = nullptr;  // where to tell next
    const char *begin = nullptr;
    const char *end = nullptr;
    const Reading *reading = nullptr;

    reference operator*() const { return *here; }
    TextCursor &operator++() {
        if (++here == mark) {
            mark = static_cast<size_t>(end - here) > kStep ? here + kStep : end;
            if (reading->progress != nullptr && *reading->progress)
                (*reading->progress)(static_cast<size_t>(here - begin), static_cast<size_t>(end - begin),
                                     reading->products);
        }
        return *this;
    }
    TextCursor operator++(int) {
        TextCursor before = *this;
        ++*this;
        return before;
    }
    bool operator==(const TextCursor &other) const { return here == other.here; }
};

ordered_json product_json(const ProductEntry &entry) {
    const ProductRecord &p = entry.record;
    return write_fields(&p, fields(kProductFields), [&](const Field &f, ordered_json *x) {
        if (std::string(f.name) == "keywords") {
            (*x)["keywords"] = entry.keywords;
            return;
        }
        // The pairs keep their positions: a zero first pair switches the whole table off.
        int pairs = kDiscounts;
        while (pairs > 0 && p.discounts[pairs - 1].min == 0 && p.discounts[pairs - 1].max == 0 &&
               p.discount_percent[pairs - 1] == 0)
            --pairs;
        ordered_json discounts = ordered_json::array();
        for (int i = 0; i < pairs; ++i) {
            ordered_json d = write_fields(&p.discounts[i], fields(kDiscountFields));
            d["percent"] = amount_json(p.discount_percent[i]);
            discounts.push_back(d);
        }
        (*x)["discounts"] = discounts;
    });
}

ordered_json store_json(const StoreEntry &entry) {
    return write_fields(&entry.store, fields(kStoreFields), [&](const Field &f, ordered_json *j) {
        const std::string name = f.name;
        if (name == "extended") {
            if (entry.has_extended) (*j)["extended"] = write_fields(&entry.extended, fields(kExtendedFields));
        } else if (name == "departments") {
            ordered_json departments = ordered_json::array();
            for (const DepartmentRecord &d : entry.departments) departments.push_back(write_fields(&d, fields(kDepartmentFields)));
            (*j)["departments"] = departments;
        } else if (name == "formats") {
            ordered_json formats = ordered_json::array();
            for (const FormatRecord &format : entry.formats) formats.push_back(write_fields(&format, fields(kFormatFields)));
            (*j)["formats"] = formats;
        } else if (name == "products") {
            ordered_json products = ordered_json::array();
            for (const ProductEntry &product : entry.products) products.push_back(product_json(product));
            (*j)["products"] = products;
        }
    });
}

}  // namespace

std::string field_text(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

std::string upper(std::string text) {
    for (char &ch : text)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return text;
}

std::vector<std::string> default_keywords(const std::string &name) {
    std::vector<std::string> keywords;
    size_t i = 0;
    while (i < name.size()) {
        size_t start = name.find_first_not_of(" \t", i);
        if (start == std::string::npos) break;
        size_t end = name.find_first_of(" \t", start);
        if (end == std::string::npos) end = name.size();
        std::string word = name.substr(start, end - start);
        // Cut to the record's width, never inside a UTF-8 sequence.
        if (word.size() > kKeywordSize - 1) {
            size_t cut = kKeywordSize - 1;
            while (cut > 0 && (static_cast<unsigned char>(word[cut]) & 0xC0) == 0x80) --cut;
            word.resize(cut);
        }
        if (!word.empty()) add_keyword(&keywords, upper(word));
        i = end;
    }
    return keywords;
}

void catalogue_from_json(const std::string &text, Catalogue *out, std::vector<std::string> *problems,
                         const ReadProgress *progress) {
    Check c{problems};
    Reading reading;
    reading.progress = progress;
    json doc;
    try {
        const char *begin = text.data(), *end = begin + text.size();
        TextCursor first{begin, begin + std::min(text.size(), TextCursor::kStep), begin, end, &reading};
        TextCursor last = first;
        last.here = end;
        doc = json::parse(first, last, [&](int depth, json::parse_event_t event, json &parsed) {
            return on_parse(&reading, depth, event, parsed);
        });
    } catch (const json::parse_error &e) {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..." without the tag.
        std::string what = e.what();
        size_t tag = what.find("] ");
        problems->push_back(tag == std::string::npos ? what : what.substr(tag + 2));
        return;
    }
    if (progress != nullptr && *progress) (*progress)(text.size(), text.size(), reading.products);
    const Place root;
    if (!object_of(c, doc, root, {"stores"})) return;
    const json *stores = list_of(c, doc, "stores", root, SIZE_MAX);
    if (stores == nullptr) return;
    const Place list = at(root, "stores");
    // The parser has made one slot for each entry of the list.
    assert(reading.stores.size() == stores->size());
    reading.stores.resize(stores->size());
    Seen seen;
    out->stores.reserve(stores->size());
    for (size_t i = 0; i < stores->size(); ++i) {
        StoreEntry entry;
        std::string id;
        read_store(c, (*stores)[i], at(list, i), &entry, &id, &reading.stores[i]);
        seen.add(c, id, id, list, i, "id");
        out->stores.push_back(std::move(entry));
    }
}

std::string catalogue_to_json(const Catalogue &catalogue) {
    ordered_json stores = ordered_json::array();
    for (const StoreEntry &entry : catalogue.stores) stores.push_back(store_json(entry));
    ordered_json doc;
    doc["stores"] = stores;
    // Records written by other means may hold bytes that are not UTF-8; show them, don't fail.
    return doc.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace mallctl
