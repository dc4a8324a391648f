// Catalogue records for end-to-end tests, inserted with the calls the mall library uses.
#include "tests/e2e/catalogue_fixture.h"

#include <gtest/gtest.h>

#include "catalogue/records.h"
#include "companions/mall/files.h"
#include "host/datafile.h"

namespace e2e {

namespace {

// A record field from a test text: cut to the field, zero behind it.
void put(char *field, size_t width, const std::string &text) { _stlcpy(field, text.c_str(), static_cast<int>(width)); }

void insert(int file, const void *record, size_t length, const std::string &what) {
    _dfaSetBlk(file);
    if (!_dfaInsertV(record, static_cast<int>(length))) ADD_FAILURE() << "cannot insert " << what;
    _dfaRstBlk();
}

}  // namespace

void use_data_of(const std::string &root) {
    host::datafile_set_directory(root + "/data");
    std::string url, why;
    if (!host::datafile_read_config(root + "/data.cfg", &url, &why)) ADD_FAILURE() << why;
    host::datafile_set_url(url);
}

Catalogue::Catalogue(const std::string &root) {
    use_data_of(root);
    store_file_ = OpenMallFile(MallFile::store);
    product_file_ = OpenMallFile(MallFile::product);
    keyword_file_ = OpenMallFile(MallFile::keyword);
    EXPECT_TRUE(store_file_ > 0 && product_file_ > 0 && keyword_file_ > 0) << root;
}

Catalogue::~Catalogue() { host::datafile_close_all(); }

void Catalogue::store(const StoreDef &def) {
    StoreRecord r{};
    r.record_type = kRecordStore;
    put(r.store_id, sizeof r.store_id, def.id);
    put(r.name, sizeof r.name, def.name);
    put(r.mail_user, sizeof r.mail_user, def.mail_user);
    put(r.access_key, sizeof r.access_key, def.access_key);
    put(r.icon, sizeof r.icon, def.icon);
    put(r.description, sizeof r.description, def.description);
    insert(store_file_, &r, sizeof r, "store " + def.id);
}

void Catalogue::extended(const std::string &store, const ExtendedDef &def) {
    ExtendedStoreRecord r{};
    r.record_type = kRecordExtended;
    put(r.store_id, sizeof r.store_id, store);
    put(r.manager, sizeof r.manager, def.manager);
    put(r.address, sizeof r.address, def.address);
    put(r.city_state_zip, sizeof r.city_state_zip, def.city_state_zip);
    put(r.country, sizeof r.country, def.country);
    put(r.phone, sizeof r.phone, def.phone);
    put(r.fax, sizeof r.fax, def.fax);
    insert(store_file_, &r, sizeof r, "extended record of " + store);
}

void Catalogue::department(const DeptDef &def) {
    DepartmentRecord r{};
    r.record_type = kRecordDepartment;
    put(r.store_id, sizeof r.store_id, def.store);
    put(r.dept_id, sizeof r.dept_id, def.id);
    put(r.name, sizeof r.name, def.name);
    put(r.icon, sizeof r.icon, def.icon);
    r.flags = def.flags;
    put(r.description, sizeof r.description, def.description);
    insert(store_file_, &r, sizeof r, "department " + def.store + "/" + def.id);
}

void Catalogue::product(const ProductDef &def) {
    ProductRecord r{};
    put(r.store_id, sizeof r.store_id, def.store);
    put(r.dept_id, sizeof r.dept_id, def.dept);
    put(r.product_id, sizeof r.product_id, def.id);
    put(r.name, sizeof r.name, def.name);
    put(r.description, sizeof r.description, def.description);
    r.flags = def.flags;
    r.price = def.price;
    r.member_price = def.member_price;
    put(r.member_key, sizeof r.member_key, def.member_key);
    r.info_kind = def.info_kind;
    r.stock = def.stock;
    insert(product_file_, &r, sizeof r, "product " + def.store + "/" + def.dept + "/" + def.id);
}

void Catalogue::keyword(const std::string &store, const std::string &dept, const std::string &word,
                        const std::string &product) {
    KeywordRecord r{};
    put(r.store_id, sizeof r.store_id, store);
    put(r.dept_id, sizeof r.dept_id, dept);
    put(r.keyword, sizeof r.keyword, word);
    put(r.product_id, sizeof r.product_id, product);
    insert(keyword_file_, &r, sizeof r, "keyword " + word);
}

}  // namespace e2e
