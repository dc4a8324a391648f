// mallctl remove: takes a store, a department or one product out of the catalogue with every
// record that belongs to it, in one transaction. Orders are the buyers' and stay.
#include <cstdio>
#include <cstring>

#include "host/datafile.h"
#include "tools/catalogue_files.h"
#include "tools/commands.h"

namespace mallctl {
namespace {

// The positions to delete, file by file.
struct Doomed {
    std::vector<long> store, product, format, keyword;
    size_t departments = 0;
    bool extended = false;
};

void copy_id(char *field, const std::string &id) { std::memcpy(field, id.data(), id.size()); }

// Every record of the store file of one type and store: the store, its departments, or its
// extended record.
std::vector<long> store_file_records(HostFile file, uint8_t type, const std::string &store) {
    std::vector<long> found;
    StoreKey0 key{};
    key.record_type = type;
    copy_id(key.store_id, store);
    unsigned char buffer[kStoreFileRecordSize] = {};
    walk_records(file, &key, kStoreFileKeyType, buffer, [&](long position) {
        if (buffer[0] != type || !same_id(field_text(reinterpret_cast<char *>(buffer) + 1, kStoreIdSize), store))
            return false;
        found.push_back(position);
        return true;
    });
    return found;
}

void gather_store(const CatalogueFiles &files, const std::string &store, Doomed *d) {
    for (uint8_t type : {kRecordStore, kRecordDepartment, kRecordExtended}) {
        std::vector<long> found = store_file_records(files.store, type, store);
        if (type == kRecordDepartment) d->departments = found.size();
        if (type == kRecordExtended) d->extended = !found.empty();
        d->store.insert(d->store.end(), found.begin(), found.end());
    }
    ProductKey0 pkey{};
    copy_id(pkey.store_id, store);
    ProductRecord p{};
    walk_records(files.product, &pkey, kProductKeyStore, &p, [&](long position) {
        if (!same_id(field_text(p.store_id, kStoreIdSize), store)) return false;
        d->product.push_back(position);
        return true;
    });
    FormatKey0 fkey{};
    copy_id(fkey.store_id, store);
    FormatRecord f{};
    walk_records(files.format, &fkey, kFormatKeyStore, &f, [&](long position) {
        if (!same_id(field_text(f.store_id, kStoreIdSize), store)) return false;
        d->format.push_back(position);
        return true;
    });
    KeywordKey1 kkey{};
    copy_id(kkey.store_id, store);
    KeywordRecord k{};
    walk_records(files.keyword, &kkey, kKeywordKeyStore, &k, [&](long position) {
        if (!same_id(field_text(k.store_id, kStoreIdSize), store)) return false;
        d->keyword.push_back(position);
        return true;
    });
}

void gather_department(const CatalogueFiles &files, const std::string &store, const std::string &dept, long record,
                       Doomed *d) {
    d->store.push_back(record);
    d->departments = 1;
    ProductKey1 pkey{};
    copy_id(pkey.store_id, store);
    copy_id(pkey.dept_id, dept);
    ProductRecord p{};
    walk_records(files.product, &pkey, kProductKeyDept, &p, [&](long position) {
        if (!same_id(field_text(p.store_id, kStoreIdSize), store) || !same_id(field_text(p.dept_id, kDeptIdSize), dept))
            return false;
        d->product.push_back(position);
        return true;
    });
    KeywordKey2 kkey{};
    copy_id(kkey.store_id, store);
    copy_id(kkey.dept_id, dept);
    KeywordRecord k{};
    walk_records(files.keyword, &kkey, kKeywordKeyDept, &k, [&](long position) {
        if (!same_id(field_text(k.store_id, kStoreIdSize), store) || !same_id(field_text(k.dept_id, kDeptIdSize), dept))
            return false;
        d->keyword.push_back(position);
        return true;
    });
}

std::string plural(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// An identifier longer than its field names nothing: cut to fit, it could name another record.
bool fits(const std::string &id, int size) { return !id.empty() && id.size() < static_cast<size_t>(size); }

}  // namespace

int cmd_remove(const std::string &root, const Args &args) {
    if (args.empty() || args.size() > 3) {
        std::fprintf(stderr, "usage: mallctl --root DIR remove SID [DID [PID]]\n");
        return 2;
    }
    const std::string store = upper(args[0]);
    const std::string dept = args.size() > 1 ? upper(args[1]) : "";
    const std::string product = args.size() > 2 ? args[2] : "";
    if (!open_root(root)) return 1;
    CatalogueFiles files;
    if (!open_catalogue(&files)) return 1;
    if (!host::datafile_begin(files.store)) {
        std::fprintf(stderr, "mallctl remove: the catalogue is busy; nothing changed\n");
        return 1;
    }
    auto refuse = [&](const std::string &why) {
        host::datafile_rollback(files.store);
        std::fprintf(stderr, "mallctl remove: %s; nothing changed\n", why.c_str());
        return 1;
    };

    unsigned char buffer[kStoreFileRecordSize] = {};
    StoreKey1 skey{};
    skey.record_type = kRecordStore;
    if (fits(store, kStoreIdSize)) copy_id(skey.store_id, store);
    if (!fits(store, kStoreIdSize) || find_record(files.store, &skey, kStoreFileKeyDept, buffer) == 0)
        return refuse("no store " + args[0]);

    Doomed doomed;
    std::string what;
    if (args.size() == 1) {
        gather_store(files, store, &doomed);
        what = "store " + store;
    } else if (args.size() == 2) {
        skey.record_type = kRecordDepartment;
        if (fits(dept, kDeptIdSize)) copy_id(skey.dept_id, dept);
        long record = fits(dept, kDeptIdSize) ? find_record(files.store, &skey, kStoreFileKeyDept, buffer) : 0;
        if (record == 0) return refuse("no department " + args[1] + " in store " + store);
        gather_department(files, store, dept, record, &doomed);
        what = "department " + dept + " of store " + store;
    } else {
        ProductKey1 pkey{};
        ProductRecord p{};
        long record = 0;
        if (fits(dept, kDeptIdSize) && fits(product, kProductIdSize)) {
            copy_id(pkey.store_id, store);
            copy_id(pkey.dept_id, dept);
            copy_id(pkey.product_id, product);
            record = find_record(files.product, &pkey, kProductKeyDept, &p);
        }
        if (record == 0) return refuse("no product " + product + " in department " + dept + " of store " + store);
        doomed.product.push_back(record);
        for (const KeywordHit &hit : product_keywords(files.keyword, p.store_id, p.dept_id, p.product_id))
            doomed.keyword.push_back(hit.position);
        what = "product " + field_text(p.product_id, kProductIdSize) + " of department " + dept + " of store " + store;
    }

    if (!delete_records(files.store, doomed.store) || !delete_records(files.product, doomed.product) ||
        !delete_records(files.format, doomed.format) || !delete_records(files.keyword, doomed.keyword))
        return refuse("the data files refused to delete a record");
    if (!host::datafile_commit(files.store)) {
        std::fprintf(stderr, "mallctl remove: the removal could not be committed; nothing changed\n");
        return 1;
    }
    std::string held;
    if (args.size() == 1)
        held = plural(doomed.departments, "department", "departments") + ", " +
               (doomed.extended ? "its extended record, " : "") + plural(doomed.format.size(), "format", "formats") +
               ", ";
    if (args.size() <= 2) held += plural(doomed.product.size(), "product", "products") + ", ";
    held += plural(doomed.keyword.size(), "keyword", "keywords");
    std::printf("removed %s with %s\n", what.c_str(), held.c_str());
    return 0;
}

}  // namespace mallctl
