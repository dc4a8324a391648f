// mallctl import: adds or replaces catalogue records from a JSON file. Everything is checked
// before anything is written, and the writes are one transaction on catalogue.db: a file with
// a bad value changes nothing, a good one lands whole.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>

#include "host/datafile.h"
#include "tools/catalogue_files.h"
#include "tools/commands.h"

namespace mallctl {
namespace {

struct Counts {
    size_t stores = 0, extended = 0, departments = 0, formats = 0, products = 0, keywords = 0;
};

// ---- progress

// A million products take a while to read, check and write: the operator sees on standard
// error what is being done and how far it has come, a line at most every two seconds while a
// phase runs and one when it ends ("mallctl import: writing products: 250000 of 1000000").
using Clock = std::chrono::steady_clock;
constexpr auto kProgressEvery = std::chrono::seconds(2);

struct Progress {
    std::string what;    // "writing products"
    bool bytes = false;  // done and total are bytes, shown in megabytes
    size_t done = 0, total = 0;
    std::string note;    // said after the figures (", 2500 products")
    bool begun = false;
    size_t shown = SIZE_MAX;  // done as of the last line
    Clock::time_point last;
};

void progress_line(Progress *progress) {
    const Progress &p = *progress;
    progress->shown = p.done;
    if (p.bytes && p.total >= 1000000)
        std::fprintf(stderr, "mallctl import: %s: %.1f of %.1f MB%s\n", p.what.c_str(), p.done / 1e6,
                     p.total / 1e6, p.note.c_str());
    else
        std::fprintf(stderr, "mallctl import: %s: %zu of %zu%s%s\n", p.what.c_str(), p.done, p.total,
                     p.bytes ? " bytes" : "", p.note.c_str());
}

void progress_begin(Progress *p, const std::string &what, size_t total, bool bytes = false) {
    *p = Progress{what, bytes, 0, total, "", true, SIZE_MAX, Clock::now()};
}

void progress_at(Progress *p, size_t done) {
    p->done = done;
    Clock::time_point now = Clock::now();
    if (now - p->last < kProgressEvery) return;
    p->last = now;
    progress_line(p);
}

// The phase's last line, when it began at all and that line is not already out.
void progress_end(Progress *p) {
    if (!p->begun) return;
    p->done = p->total;
    if (p->shown != p->done) progress_line(p);
    p->begun = false;
}

// ---- checking

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

// ---- writing

// One department as it was before this import, looked at when its first product is written:
// whether it held products at all, and the keywords of its products by product id in capitals
// (a replaced product's keywords are replaced). A department that held none, as every
// department of a first import, takes its products without a look-up for each: one fewer
// statement per product, on a transaction whose pages no longer all fit in memory.
struct OldDepartment {
    bool has_products = false;
    std::unordered_map<std::string, std::vector<long>> keywords;
};

OldDepartment read_old_department(const CatalogueFiles &files, const ProductRecord &product) {
    OldDepartment old;
    const std::string store = field_text(product.store_id, kStoreIdSize);
    const std::string dept = field_text(product.dept_id, kDeptIdSize);

    ProductKey1 pkey{};
    std::memcpy(pkey.store_id, product.store_id, kStoreIdSize);
    std::memcpy(pkey.dept_id, product.dept_id, kDeptIdSize);
    ProductRecord p{};
    walk_records(files.product, &pkey, kProductKeyDept, &p, [&](long) {
        old.has_products =
            same_id(field_text(p.store_id, kStoreIdSize), store) && same_id(field_text(p.dept_id, kDeptIdSize), dept);
        return false;
    });

    KeywordKey2 kkey{};
    std::memcpy(kkey.store_id, product.store_id, kStoreIdSize);
    std::memcpy(kkey.dept_id, product.dept_id, kDeptIdSize);
    KeywordRecord k{};
    walk_records(files.keyword, &kkey, kKeywordKeyDept, &k, [&](long position) {
        if (!same_id(field_text(k.store_id, kStoreIdSize), store) || !same_id(field_text(k.dept_id, kDeptIdSize), dept))
            return false;
        old.keywords[upper(field_text(k.product_id, kProductIdSize))].push_back(position);
        return true;
    });
    return old;
}

bool write_store(const CatalogueFiles &files, const StoreEntry &entry, Counts *n, Progress *progress) {
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

    std::unordered_map<std::string, OldDepartment> departments;
    for (const ProductEntry &p : entry.products) {
        const ProductRecord &r = p.record;
        const std::string dept = field_text(r.dept_id, kDeptIdSize);
        auto dept_it = departments.find(dept);
        if (dept_it == departments.end()) dept_it = departments.emplace(dept, read_old_department(files, r)).first;
        OldDepartment &old = dept_it->second;

        // In a department that held no products nothing can be replaced: the products added to
        // it by this import are others, since the file lists each product once.
        ProductKey1 pkey{};
        std::memcpy(pkey.store_id, r.store_id, kStoreIdSize);
        std::memcpy(pkey.dept_id, r.dept_id, kDeptIdSize);
        std::memcpy(pkey.product_id, r.product_id, kProductIdSize);
        bool written = old.has_products ? put_record(files.product, &pkey, kProductKeyDept, &r, kProductRecordSize)
                                        : add_record(files.product, &r, kProductRecordSize);
        if (!written) return false;
        ++n->products;

        auto old_keywords = old.keywords.find(upper(field_text(r.product_id, kProductIdSize)));
        if (old_keywords != old.keywords.end() && !delete_records(files.keyword, old_keywords->second)) return false;
        if (!add_keywords(files.keyword, r, p.keywords)) return false;
        n->keywords += p.keywords.size();
        if (n->products % 1024 == 0) progress_at(progress, n->products);
    }
    return true;
}

std::string plural(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The file's text, read in pieces so that a large file shows how far the reading has come.
bool read_with_progress(const std::string &path, std::string *text, std::string *error) {
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    size_t expected = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
    Progress progress;
    progress_begin(&progress, "reading " + path, expected, true);
    text->clear();
    text->reserve(expected);
    constexpr size_t kPiece = 4 << 20;
    std::string piece(kPiece, '\0');
    size_t n;
    while ((n = std::fread(piece.data(), 1, kPiece, in)) > 0) {
        text->append(piece, 0, n);
        // A file that grows while it is read is read whole; the line says what was read.
        if (text->size() > progress.total) progress.total = text->size();
        progress_at(&progress, text->size());
    }
    bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        *error = "read error";
        return false;
    }
    progress.total = text->size();
    progress_end(&progress);
    return true;
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
    Progress checking;
    const ReadProgress reading = [&](size_t done, size_t total, size_t products) {
        if (!checking.begun) progress_begin(&checking, "checking " + name, total, true);
        checking.note = ", " + plural(products, "product", "products");
        progress_at(&checking, done);
    };
    catalogue_from_json(text, &catalogue, &problems, &reading);
    progress_end(&checking);

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
    size_t products = 0;
    for (const StoreEntry &entry : catalogue.stores) products += entry.products.size();
    Progress writing;
    progress_begin(&writing, "writing products", products);
    Counts n;
    for (const StoreEntry &entry : catalogue.stores) {
        if (!write_store(files, entry, &n, &writing)) {
            host::datafile_rollback(files.store);
            std::fprintf(stderr, "mallctl import: the data files refused a write to store %s; nothing changed\n",
                         field_text(entry.store.store_id, kStoreIdSize).c_str());
            return 1;
        }
    }
    progress_end(&writing);
    // The commit makes the whole import durable at once, and on a large one that is felt.
    std::fprintf(stderr, "mallctl import: committing\n");
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
    if (!read_with_progress(args[0], &text, &error)) {
        std::fprintf(stderr, "mallctl import: cannot read %s: %s\n", args[0].c_str(), error.c_str());
        return 1;
    }
    if (!open_root(root)) return 1;
    return import_catalogue(args[0], text);
}

}  // namespace mallctl
