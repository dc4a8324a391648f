// mallctl export: the whole catalogue as JSON on standard output, in the form import reads, so
// that exporting and importing the result changes nothing.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "host/datafile.h"
#include "tools/catalogue_files.h"
#include "tools/commands.h"

namespace mallctl {
namespace {

// Every keyword of one store, by department and product id in capitals, in the order added.
using StoreKeywords = std::map<std::string, std::vector<KeywordHit>>;

std::string product_slot(const std::string &dept, const std::string &product) {
    return upper(dept) + '\n' + upper(product);
}

StoreKeywords store_keywords(HostFile keyword_file, const std::string &store) {
    StoreKeywords all;
    KeywordKey1 key{};
    std::memcpy(key.store_id, store.data(), store.size());
    KeywordRecord k{};
    walk_records(keyword_file, &key, kKeywordKeyStore, &k, [&](long position) {
        if (!same_id(field_text(k.store_id, kStoreIdSize), store)) return false;
        all[product_slot(field_text(k.dept_id, kDeptIdSize), field_text(k.product_id, kProductIdSize))].push_back(
            {position, field_text(k.keyword, kKeywordSize)});
        return true;
    });
    for (auto &[slot, hits] : all)
        std::sort(hits.begin(), hits.end(), [](const KeywordHit &a, const KeywordHit &b) { return a.position < b.position; });
    return all;
}

void read_store(const CatalogueFiles &files, StoreEntry *entry) {
    const std::string store = field_text(entry->store.store_id, kStoreIdSize);
    unsigned char buffer[kStoreFileRecordSize] = {};

    StoreKey1 key{};
    std::memcpy(key.store_id, store.data(), store.size());
    key.record_type = kRecordExtended;
    if (find_record(files.store, &key, kStoreFileKeyDept, buffer) != 0) {
        entry->has_extended = true;
        std::memcpy(&entry->extended, buffer, sizeof entry->extended);
    }

    key.record_type = kRecordDepartment;
    walk_records(files.store, &key, kStoreFileKeyDept, buffer, [&](long) {
        DepartmentRecord d{};
        std::memcpy(&d, buffer, sizeof d);
        if (d.record_type != kRecordDepartment || !same_id(field_text(d.store_id, kStoreIdSize), store)) return false;
        entry->departments.push_back(d);
        return true;
    });

    FormatKey1 fkey{};
    std::memcpy(fkey.store_id, store.data(), store.size());
    FormatRecord f{};
    walk_records(files.format, &fkey, kFormatKeyName, &f, [&](long) {
        if (!same_id(field_text(f.store_id, kStoreIdSize), store)) return false;
        entry->formats.push_back(f);
        return true;
    });

    StoreKeywords keywords = store_keywords(files.keyword, store);
    ProductKey1 pkey{};
    std::memcpy(pkey.store_id, store.data(), store.size());
    ProductRecord p{};
    walk_records(files.product, &pkey, kProductKeyDept, &p, [&](long) {
        if (!same_id(field_text(p.store_id, kStoreIdSize), store)) return false;
        ProductEntry product;
        product.record = p;
        auto it = keywords.find(product_slot(field_text(p.dept_id, kDeptIdSize), field_text(p.product_id, kProductIdSize)));
        if (it != keywords.end())
            for (const KeywordHit &hit : it->second) product.keywords.push_back(hit.keyword);
        entry->products.push_back(std::move(product));
        return true;
    });
}

bool read_catalogue(const CatalogueFiles &files, Catalogue *catalogue) {
    // One transaction for the whole read, so an import committed meanwhile is seen entirely or
    // not at all.
    if (!host::datafile_begin(files.store)) return false;
    unsigned char buffer[kStoreFileRecordSize] = {};
    StoreKey1 key{};
    key.record_type = kRecordStore;
    walk_records(files.store, &key, kStoreFileKeyDept, buffer, [&](long) {
        if (buffer[0] != kRecordStore) return false;
        StoreEntry entry;
        std::memcpy(&entry.store, buffer, sizeof entry.store);
        catalogue->stores.push_back(std::move(entry));
        return true;
    });
    for (StoreEntry &entry : catalogue->stores) read_store(files, &entry);
    host::datafile_rollback(files.store);
    return true;
}

}  // namespace

int cmd_export(const std::string &root, const Args &args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: mallctl --root DIR export\n");
        return 2;
    }
    if (!open_root(root)) return 1;
    CatalogueFiles files;
    if (!open_catalogue(&files)) return 1;
    Catalogue catalogue;
    if (!read_catalogue(files, &catalogue)) {
        std::fprintf(stderr, "mallctl export: the catalogue is busy\n");
        return 1;
    }
    std::string text = catalogue_to_json(catalogue);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "mallctl export: cannot write the catalogue: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace mallctl
