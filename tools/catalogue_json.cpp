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
bool object_of(const Check &c, const json &v, const Place &place, std::initializer_list<const char *> fields) {
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

void read_extended(const Check &c, const json &v, const Place &place, ExtendedStoreRecord *r) {
    if (!object_of(c, v, place,
                   {"max_order", "options", "download_options", "manager", "address", "city_state_zip",
                    "country", "phone", "fax", "weight_format", "tax_settings", "questions"}))
        return;
    r->max_order = amount(c, v, "max_order", place, FLT_MAX);
    r->options = static_cast<uint16_t>(whole(c, v, "options", place, 0, UINT16_MAX));
    r->download_options = static_cast<uint16_t>(whole(c, v, "download_options", place, 0, UINT16_MAX));
    text(c, v, "manager", place, r->manager, sizeof r->manager);
    text(c, v, "address", place, r->address, sizeof r->address);
    text(c, v, "city_state_zip", place, r->city_state_zip, sizeof r->city_state_zip);
    text(c, v, "country", place, r->country, sizeof r->country);
    text(c, v, "phone", place, r->phone, sizeof r->phone);
    text(c, v, "fax", place, r->fax, sizeof r->fax);
    text(c, v, "weight_format", place, r->weight_format, sizeof r->weight_format);
    r->tax_settings = static_cast<uint32_t>(whole(c, v, "tax_settings", place, 0, UINT32_MAX));
    if (const json *qs = list_of(c, v, "questions", place, kQuestions)) {
        const Place list = at(place, "questions");
        for (size_t i = 0; i < qs->size(); ++i) text_value(c, (*qs)[i], at(list, i), r->questions[i], kQuestionSize);
    }
}

void read_department(const Check &c, const json &v, const Place &place, const std::string &store_id,
                     DepartmentRecord *r, std::string *id) {
    r->record_type = kRecordDepartment;
    std::memcpy(r->store_id, store_id.data(), store_id.size());
    if (!object_of(c, v, place, {"id", "name", "icon", "flags", "description"})) return;
    *id = identifier(c, v, "id", place, r->dept_id, sizeof r->dept_id, IdKind::department);
    text(c, v, "name", place, r->name, sizeof r->name);
    text(c, v, "icon", place, r->icon, sizeof r->icon);
    r->flags = static_cast<uint8_t>(whole(c, v, "flags", place, 0, UINT8_MAX));
    text(c, v, "description", place, r->description, sizeof r->description);
}

void read_format(const Check &c, const json &v, const Place &place, const std::string &store_id, FormatRecord *r,
                 std::string *name) {
    std::memcpy(r->store_id, store_id.data(), store_id.size());
    if (!object_of(c, v, place, {"name", "choices"})) return;
    *name = key_text(c, v, "name", place, r->name, sizeof r->name);
    if (const json *choices = list_of(c, v, "choices", place, kFormatChoices)) {
        const Place list = at(place, "choices");
        for (size_t i = 0; i < choices->size(); ++i)
            text_value(c, (*choices)[i], at(list, i), r->choices[i], kFormatChoiceSize);
    }
}

// Given keywords are kept as listed, in capitals, each once: a keyword listed twice would show
// the product twice in one search.
void add_keyword(std::vector<std::string> *keywords, const std::string &keyword) {
    for (const auto &k : *keywords)
        if (k == keyword) return;
    keywords->push_back(keyword);
}

void read_product(const Check &c, const json &v, const Place &place, const std::string &store_id,
                  ProductEntry *entry, std::string *dept, std::string *id) {
    ProductRecord *r = &entry->record;
    std::memcpy(r->store_id, store_id.data(), store_id.size());
    if (!object_of(c, v, place,
                   {"department", "id", "name", "description", "flags", "price", "member_price",
                    "member_key", "tax_exempt_key", "handling_first", "handling_more", "info_kind",
                    "download", "pictures", "abstract", "sound", "stock", "format1", "format2", "offered",
                    "discounts", "weight", "keywords"}))
        return;
    *dept = identifier(c, v, "department", place, r->dept_id, sizeof r->dept_id, IdKind::department);
    *id = identifier(c, v, "id", place, r->product_id, sizeof r->product_id, IdKind::product);
    text(c, v, "name", place, r->name, sizeof r->name);
    text(c, v, "description", place, r->description, sizeof r->description);
    r->flags = static_cast<uint16_t>(whole(c, v, "flags", place, 0, UINT16_MAX));
    r->price = amount(c, v, "price", place, FLT_MAX);
    r->member_price = amount(c, v, "member_price", place, FLT_MAX);
    text(c, v, "member_key", place, r->member_key, sizeof r->member_key);
    text(c, v, "tax_exempt_key", place, r->tax_exempt_key, sizeof r->tax_exempt_key);
    r->handling_first = amount(c, v, "handling_first", place, FLT_MAX);
    r->handling_more = amount(c, v, "handling_more", place, FLT_MAX);
    r->info_kind = static_cast<int32_t>(whole(c, v, "info_kind", place, 0, 3));
    text(c, v, "download", place, r->download, sizeof r->download);
    if (const json *pictures = list_of(c, v, "pictures", place, kPictures)) {
        const Place list = at(place, "pictures");
        for (size_t i = 0; i < pictures->size(); ++i)
            text_value(c, (*pictures)[i], at(list, i), r->pictures[i], sizeof r->pictures[i]);
    }
    text(c, v, "abstract", place, r->abstract, sizeof r->abstract);
    text(c, v, "sound", place, r->sound, sizeof r->sound);
    r->stock = static_cast<int32_t>(whole(c, v, "stock", place, INT32_MIN, INT32_MAX));
    text(c, v, "format1", place, r->format1, sizeof r->format1);
    text(c, v, "format2", place, r->format2, sizeof r->format2);
    r->offered = static_cast<uint32_t>(whole(c, v, "offered", place, 0, UINT32_MAX));
    if (const json *discounts = list_of(c, v, "discounts", place, kDiscounts)) {
        const Place list = at(place, "discounts");
        for (size_t i = 0; i < discounts->size(); ++i) {
            const json &d = (*discounts)[i];
            const Place where = at(list, i);
            if (!object_of(c, d, where, {"min", "max", "percent"})) continue;
            r->discounts[i].min = static_cast<int32_t>(whole(c, d, "min", where, INT32_MIN, INT32_MAX));
            r->discounts[i].max = static_cast<int32_t>(whole(c, d, "max", where, INT32_MIN, INT32_MAX));
            r->discount_percent[i] = amount(c, d, "percent", where, 100);
        }
    }
    r->weight = amount(c, v, "weight", place, FLT_MAX);

    const json *keywords = member(v, "keywords");
    if (keywords == nullptr) {
        entry->keywords = default_keywords(field_text(r->name, sizeof r->name));
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

void read_store(const Check &c, const json &v, const Place &place, StoreEntry *entry, std::string *id,
                StoreProducts *products) {
    StoreRecord *r = &entry->store;
    r->record_type = kRecordStore;
    if (!object_of(c, v, place,
                   {"id", "name", "mail_user", "access_key", "icon", "po_key", "description", "extended",
                    "departments", "formats", "products"}))
        return;
    *id = identifier(c, v, "id", place, r->store_id, sizeof r->store_id, IdKind::store);
    text(c, v, "name", place, r->name, sizeof r->name);
    text(c, v, "mail_user", place, r->mail_user, sizeof r->mail_user);
    text(c, v, "access_key", place, r->access_key, sizeof r->access_key);
    text(c, v, "icon", place, r->icon, sizeof r->icon);
    text(c, v, "po_key", place, r->po_key, sizeof r->po_key);
    text(c, v, "description", place, r->description, sizeof r->description);

    if (const json *ext = member(v, "extended")) {
        entry->has_extended = true;
        entry->extended.record_type = kRecordExtended;
        std::memcpy(entry->extended.store_id, id->data(), id->size());
        read_extended(c, *ext, at(place, "extended"), &entry->extended);
    }

    if (const json *list = list_of(c, v, "departments", place, SIZE_MAX)) {
        const Place departments = at(place, "departments");
        Seen seen;
        entry->departments.reserve(list->size());
        for (size_t i = 0; i < list->size(); ++i) {
            DepartmentRecord d{};
            std::string dept;
            read_department(c, (*list)[i], at(departments, i), *id, &d, &dept);
            seen.add(c, dept, dept, departments, i, "id");
            entry->departments.push_back(d);
        }
    }
    if (const json *list = list_of(c, v, "formats", place, SIZE_MAX)) {
        const Place formats = at(place, "formats");
        Seen seen;
        entry->formats.reserve(list->size());
        for (size_t i = 0; i < list->size(); ++i) {
            FormatRecord f{};
            std::string name;
            read_format(c, (*list)[i], at(formats, i), *id, &f, &name);
            seen.add(c, name, name, formats, i, "name");
            entry->formats.push_back(f);
        }
    }
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

// ---- writing

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

ordered_json texts_json(const char (*texts)[kFormatChoiceSize], size_t count) {
    ordered_json out = ordered_json::array();
    for (size_t i = 0; i < count; ++i) out.push_back(field_text(texts[i], kFormatChoiceSize));
    return out;
}

ordered_json store_json(const StoreEntry &entry) {
    const StoreRecord &s = entry.store;
    ordered_json j;
    j["id"] = field_text(s.store_id, sizeof s.store_id);
    j["name"] = field_text(s.name, sizeof s.name);
    j["mail_user"] = field_text(s.mail_user, sizeof s.mail_user);
    j["access_key"] = field_text(s.access_key, sizeof s.access_key);
    j["icon"] = field_text(s.icon, sizeof s.icon);
    j["po_key"] = field_text(s.po_key, sizeof s.po_key);
    j["description"] = field_text(s.description, sizeof s.description);
    if (entry.has_extended) {
        const ExtendedStoreRecord &e = entry.extended;
        ordered_json x;
        x["max_order"] = amount_json(e.max_order);
        x["options"] = num(e.options);
        x["download_options"] = num(e.download_options);
        x["manager"] = field_text(e.manager, sizeof e.manager);
        x["address"] = field_text(e.address, sizeof e.address);
        x["city_state_zip"] = field_text(e.city_state_zip, sizeof e.city_state_zip);
        x["country"] = field_text(e.country, sizeof e.country);
        x["phone"] = field_text(e.phone, sizeof e.phone);
        x["fax"] = field_text(e.fax, sizeof e.fax);
        x["weight_format"] = field_text(e.weight_format, sizeof e.weight_format);
        x["tax_settings"] = num(e.tax_settings);
        ordered_json questions = ordered_json::array();
        for (int i = 0; i < kQuestions; ++i) questions.push_back(field_text(e.questions[i], kQuestionSize));
        x["questions"] = questions;
        j["extended"] = x;
    }

    ordered_json departments = ordered_json::array();
    for (const DepartmentRecord &d : entry.departments) {
        ordered_json x;
        x["id"] = field_text(d.dept_id, sizeof d.dept_id);
        x["name"] = field_text(d.name, sizeof d.name);
        x["icon"] = field_text(d.icon, sizeof d.icon);
        x["flags"] = num(d.flags);
        x["description"] = field_text(d.description, sizeof d.description);
        departments.push_back(x);
    }
    j["departments"] = departments;

    ordered_json formats = ordered_json::array();
    for (const FormatRecord &f : entry.formats) {
        // An empty choice does not exist, but the ones after it keep their numbers (the
        // offered bits and the order lines count by them), so only the empty tail is left out.
        size_t count = kFormatChoices;
        while (count > 0 && f.choices[count - 1][0] == '\0') --count;
        ordered_json x;
        x["name"] = field_text(f.name, sizeof f.name);
        x["choices"] = texts_json(f.choices, count);
        formats.push_back(x);
    }
    j["formats"] = formats;

    ordered_json products = ordered_json::array();
    for (const ProductEntry &entry_p : entry.products) {
        const ProductRecord &p = entry_p.record;
        ordered_json x;
        x["department"] = field_text(p.dept_id, sizeof p.dept_id);
        x["id"] = field_text(p.product_id, sizeof p.product_id);
        x["name"] = field_text(p.name, sizeof p.name);
        x["description"] = field_text(p.description, sizeof p.description);
        x["flags"] = num(p.flags);
        x["price"] = amount_json(p.price);
        x["member_price"] = amount_json(p.member_price);
        x["member_key"] = field_text(p.member_key, sizeof p.member_key);
        x["tax_exempt_key"] = field_text(p.tax_exempt_key, sizeof p.tax_exempt_key);
        x["handling_first"] = amount_json(p.handling_first);
        x["handling_more"] = amount_json(p.handling_more);
        x["info_kind"] = num(p.info_kind);
        x["download"] = field_text(p.download, sizeof p.download);
        ordered_json pictures = ordered_json::array();
        for (int i = 0; i < kPictures; ++i) pictures.push_back(field_text(p.pictures[i], sizeof p.pictures[i]));
        x["pictures"] = pictures;
        x["abstract"] = field_text(p.abstract, sizeof p.abstract);
        x["sound"] = field_text(p.sound, sizeof p.sound);
        x["stock"] = num(p.stock);
        x["format1"] = field_text(p.format1, sizeof p.format1);
        x["format2"] = field_text(p.format2, sizeof p.format2);
        x["offered"] = num(p.offered);
        // The pairs keep their positions: a zero first pair switches the whole table off.
        int pairs = kDiscounts;
        while (pairs > 0 && p.discounts[pairs - 1].min == 0 && p.discounts[pairs - 1].max == 0 &&
               p.discount_percent[pairs - 1] == 0)
            --pairs;
        ordered_json discounts = ordered_json::array();
        for (int i = 0; i < pairs; ++i) {
            ordered_json d;
            d["min"] = num(p.discounts[i].min);
            d["max"] = num(p.discounts[i].max);
            d["percent"] = amount_json(p.discount_percent[i]);
            discounts.push_back(d);
        }
        x["discounts"] = discounts;
        x["weight"] = amount_json(p.weight);
        x["keywords"] = entry_p.keywords;
        products.push_back(x);
    }
    j["products"] = products;
    return j;
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
