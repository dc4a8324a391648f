// mallctl import: adds or replaces catalogue records from a JSON file. Everything is checked
// before anything is written, and the writes are one transaction on catalogue.db: a file with
// a bad value changes nothing, a good one lands whole.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "host/datafile.h"
#include "tools/catalogue_files.h"
#include "tools/commands.h"

namespace mallctl {
namespace {

struct Counts {
    size_t stores = 0, extended = 0, departments = 0, formats = 0, products = 0, keywords = 0;
};

std::string place(size_t store, size_t product) {
    return "stores[" + std::to_string(store) + "].products[" + std::to_string(product) + "].department";
}

// What only the data files can tell: a product whose department neither the file nor the
// data files hold would be a product no page can reach.
void check_departments(const CatalogueFiles &files, const Catalogue &catalogue, std::vector<std::string> *problems) {
    for (size_t s = 0; s < catalogue.stores.size(); ++s) {
        const StoreEntry &entry = catalogue.stores[s];
        const std::string store = field_text(entry.store.store_id, kStoreIdSize);
        std::map<std::string, bool> known;
        for (const DepartmentRecord &d : entry.departments) known[field_text(d.dept_id, kDeptIdSize)] = true;
        for (size_t p = 0; p < entry.products.size(); ++p) {
            const std::string dept = field_text(entry.products[p].record.dept_id, kDeptIdSize);
            if (store.empty() || dept.empty()) continue;  // already reported as bad
            auto it = known.find(dept);
            if (it == known.end()) {
                StoreKey1 key{};
                key.record_type = kRecordDepartment;
                std::memcpy(key.store_id, entry.store.store_id, kStoreIdSize);
                std::memcpy(key.dept_id, entry.products[p].record.dept_id, kDeptIdSize);
                unsigned char buffer[kStoreFileRecordSize];
                it = known.emplace(dept, find_record(files.store, &key, kStoreFileKeyDept, buffer) != 0).first;
            }
            if (!it->second) problems->push_back(place(s, p) + ": no department " + dept + " in store " + store);
        }
    }
}

// The keyword records of the products of one department, by product id in capitals, as they
// were before this import: a replaced product's keywords are replaced.
std::map<std::string, std::vector<long>> department_keywords(HostFile keyword_file, const ProductRecord &product) {
    std::map<std::string, std::vector<long>> by_product;
    KeywordKey2 key{};
    std::memcpy(key.store_id, product.store_id, kStoreIdSize);
    std::memcpy(key.dept_id, product.dept_id, kDeptIdSize);
    const std::string store = field_text(product.store_id, kStoreIdSize);
    const std::string dept = field_text(product.dept_id, kDeptIdSize);
    KeywordRecord k{};
    walk_records(keyword_file, &key, kKeywordKeyDept, &k, [&](long position) {
        if (!same_id(field_text(k.store_id, kStoreIdSize), store) || !same_id(field_text(k.dept_id, kDeptIdSize), dept))
            return false;
        by_product[upper(field_text(k.product_id, kProductIdSize))].push_back(position);
        return true;
    });
    return by_product;
}

bool write_store(const CatalogueFiles &files, const StoreEntry &entry, Counts *n) {
    StoreKey1 key{};
    std::memcpy(key.store_id, entry.store.store_id, kStoreIdSize);

    key.record_type = kRecordStore;
    if (!put_record(files.store, &key, kStoreFileKeyDept, &entry.store, kStoreRecordSize)) return false;
    ++n->stores;

    // The store entry is the whole store: without "extended" the store has no extended record.
    key.record_type = kRecordExtended;
    if (entry.has_extended) {
        if (!put_record(files.store, &key, kStoreFileKeyDept, &entry.extended, kExtendedStoreRecordSize)) return false;
        ++n->extended;
    } else {
        unsigned char buffer[kStoreFileRecordSize];
        long old = find_record(files.store, &key, kStoreFileKeyDept, buffer);
        if (old != 0 && !delete_records(files.store, {old})) return false;
    }

    key.record_type = kRecordDepartment;
    for (const DepartmentRecord &d : entry.departments) {
        std::memcpy(key.dept_id, d.dept_id, kDeptIdSize);
        if (!put_record(files.store, &key, kStoreFileKeyDept, &d, kDepartmentRecordSize)) return false;
        ++n->departments;
    }

    for (const FormatRecord &f : entry.formats) {
        FormatKey1 fkey{};
        std::memcpy(fkey.store_id, f.store_id, kStoreIdSize);
        std::memcpy(fkey.name, f.name, kFormatNameSize);
        if (!put_record(files.format, &fkey, kFormatKeyName, &f, kFormatRecordSize)) return false;
        ++n->formats;
    }

    // The old keywords of each department are gathered once, before its first product is
    // written, so that a large department costs one walk and not one per product.
    std::map<std::string, std::map<std::string, std::vector<long>>> old_keywords;
    for (const ProductEntry &p : entry.products) {
        const ProductRecord &r = p.record;
        const std::string dept = field_text(r.dept_id, kDeptIdSize);
        auto dept_it = old_keywords.find(dept);
        if (dept_it == old_keywords.end())
            dept_it = old_keywords.emplace(dept, department_keywords(files.keyword, r)).first;

        ProductKey1 pkey{};
        std::memcpy(pkey.store_id, r.store_id, kStoreIdSize);
        std::memcpy(pkey.dept_id, r.dept_id, kDeptIdSize);
        std::memcpy(pkey.product_id, r.product_id, kProductIdSize);
        if (!put_record(files.product, &pkey, kProductKeyDept, &r, kProductRecordSize)) return false;
        ++n->products;

        auto old = dept_it->second.find(upper(field_text(r.product_id, kProductIdSize)));
        if (old != dept_it->second.end() && !delete_records(files.keyword, old->second)) return false;
        if (!add_keywords(files.keyword, r, p.keywords)) return false;
        n->keywords += p.keywords.size();
    }
    return true;
}

std::string plural(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool read_text_file(const std::string &path, std::string *text, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::strerror(errno);
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) {
        *error = "read error";
        return false;
    }
    *text = all.str();
    return true;
}

int import_catalogue(const std::string &name, const std::string &text) {
    Catalogue catalogue;
    std::vector<std::string> problems;
    catalogue_from_json(text, &catalogue, &problems);
    CatalogueFiles files;
    if (!open_catalogue(&files)) return 1;
    check_departments(files, catalogue, &problems);
    if (!problems.empty()) {
        for (const std::string &p : problems) std::fprintf(stderr, "%s: %s\n", name.c_str(), p.c_str());
        std::fprintf(stderr, "mallctl import: %s in %s; nothing changed\n",
                     plural(problems.size(), "problem", "problems").c_str(), name.c_str());
        return 1;
    }
    if (!host::datafile_begin(files.store)) {
        std::fprintf(stderr, "mallctl import: the catalogue is busy; nothing changed\n");
        return 1;
    }
    Counts n;
    for (const StoreEntry &entry : catalogue.stores) {
        if (!write_store(files, entry, &n)) {
            host::datafile_rollback(files.store);
            std::fprintf(stderr, "mallctl import: the data files refused a write to store %s; nothing changed\n",
                         field_text(entry.store.store_id, kStoreIdSize).c_str());
            return 1;
        }
    }
    if (!host::datafile_commit(files.store)) {
        std::fprintf(stderr, "mallctl import: the import could not be committed; nothing changed\n");
        return 1;
    }
    std::printf("imported %s, %s, %s, %s, %s, %s from %s\n", plural(n.stores, "store", "stores").c_str(),
                plural(n.extended, "extended record", "extended records").c_str(),
                plural(n.departments, "department", "departments").c_str(),
                plural(n.formats, "format", "formats").c_str(), plural(n.products, "product", "products").c_str(),
                plural(n.keywords, "keyword", "keywords").c_str(), name.c_str());
    return 0;
}

int cmd_import(const std::string &root, const Args &args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: mallctl --root DIR import FILE.json\n");
        return 2;
    }
    // The file is named relative to where the operator stands, so read it before entering
    // the root.
    std::string text, error;
    if (!read_text_file(args[0], &text, &error)) {
        std::fprintf(stderr, "mallctl import: cannot read %s: %s\n", args[0].c_str(), error.c_str());
        return 1;
    }
    if (!open_root(root)) return 1;
    return import_catalogue(args[0], text);
}

}  // namespace mallctl
