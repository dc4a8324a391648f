// mallctl's access to the catalogue files through the host's data-file calls, the same calls
// the module makes, so what the tool writes is what the pages read.
#include "tools/catalogue_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "catalogue/records.h"
#include "companions/mall/files.h"

namespace mallctl {
namespace {

// Room for the longest record of any catalogue file (a product, 1020 bytes).
constexpr int kLongestRecord = 1024;
static_assert(kLongestRecord >= kProductRecordSize && kLongestRecord >= kStoreFileRecordSize);

void copy_id(char *field, size_t size, const std::string &id) {
    std::memset(field, 0, size);
    std::memcpy(field, id.data(), std::min(id.size(), size - 1));
}

}  // namespace

bool open_catalogue(CatalogueFiles *files) {
    files->store = OpenMallFile(MallFile::store);
    files->product = OpenMallFile(MallFile::product);
    files->format = OpenMallFile(MallFile::format);
    files->keyword = OpenMallFile(MallFile::keyword);
    if (files->store < 0 || files->product < 0 || files->format < 0 || files->keyword < 0) {
        std::fprintf(stderr, "mallctl: cannot open the catalogue in data/catalogue.db\n");
        return false;
    }
    return true;
}

long find_record(HostFile file, const void *key, int keynum, void *buffer) {
    _dfaSetBlk(file);
    long position = _dfaAcqLock(buffer, key, keynum, HOST_GET_EQUAL, 0) ? _dfaAbs() : 0;
    _dfaRstBlk();
    return position;
}

void walk_records(HostFile file, const void *key, int keynum, void *buffer,
                  const std::function<bool(long position)> &visit) {
    _dfaSetBlk(file);
    if (_dfaAcqLock(buffer, key, keynum, HOST_GET_GREATER_EQUAL, 0)) {
        long position = _dfaAbs();
        while (visit(position)) {
            if (!_dfaQueryNP(HOST_QUERY_NEXT)) break;
            position = _dfaAbs();
            if (!_dfaGetAbsLock(buffer, position, keynum, 0)) break;
        }
    }
    _dfaRstBlk();
}

bool delete_records(HostFile file, const std::vector<long> &positions) {
    unsigned char buffer[kLongestRecord];
    bool ok = true;
    _dfaSetBlk(file);
    for (long position : positions)
        ok = ok && _dfaAcqAbsLock(buffer, position, 0, 0) && _dfaDelete();
    _dfaRstBlk();
    return ok;
}

bool put_record(HostFile file, const void *key, int keynum, const void *record, int length) {
    unsigned char found[kLongestRecord];
    // A replaced record keeps the length it was stored with, which may be longer than this
    // one's: pad with zeros so the update never reads past the caller's record.
    unsigned char padded[kLongestRecord] = {};
    std::memcpy(padded, record, static_cast<size_t>(length));
    _dfaSetBlk(file);
    bool ok = _dfaAcqLock(found, key, keynum, HOST_GET_EQUAL, 0) ? _dfaUpdate(padded) : _dfaInsertV(record, length);
    _dfaRstBlk();
    return ok;
}

bool add_record(HostFile file, const void *record, int length) {
    _dfaSetBlk(file);
    bool ok = _dfaInsertV(record, length);
    _dfaRstBlk();
    return ok;
}

bool same_id(const std::string &a, const std::string &b) { return upper(a) == upper(b); }

std::vector<KeywordHit> product_keywords(HostFile keyword_file, const char *store_id, const char *dept_id,
                                         const char *product_id) {
    const std::string store = field_text(store_id, kStoreIdSize);
    const std::string dept = field_text(dept_id, kDeptIdSize);
    const std::string product = field_text(product_id, kProductIdSize);
    KeywordKey2 key{};
    copy_id(key.store_id, sizeof key.store_id, store);
    copy_id(key.dept_id, sizeof key.dept_id, dept);
    KeywordRecord k{};
    std::vector<KeywordHit> hits;
    walk_records(keyword_file, &key, kKeywordKeyDept, &k, [&](long position) {
        if (!same_id(field_text(k.store_id, sizeof k.store_id), store) ||
            !same_id(field_text(k.dept_id, sizeof k.dept_id), dept))
            return false;
        if (same_id(field_text(k.product_id, sizeof k.product_id), product))
            hits.push_back({position, field_text(k.keyword, sizeof k.keyword)});
        return true;
    });
    // Positions grow as records are added, so this is the order the operator listed them in.
    std::sort(hits.begin(), hits.end(), [](const KeywordHit &a, const KeywordHit &b) { return a.position < b.position; });
    return hits;
}

bool add_keywords(HostFile keyword_file, const ProductRecord &product, const std::vector<std::string> &keywords) {
    bool ok = true;
    _dfaSetBlk(keyword_file);
    for (const std::string &keyword : keywords) {
        KeywordRecord k{};
        std::memcpy(k.store_id, product.store_id, sizeof k.store_id);
        std::memcpy(k.dept_id, product.dept_id, sizeof k.dept_id);
        copy_id(k.keyword, sizeof k.keyword, keyword);
        std::memcpy(k.product_id, product.product_id, sizeof k.product_id);
        ok = ok && _dfaInsert(&k);
    }
    _dfaRstBlk();
    return ok;
}

}  // namespace mallctl
