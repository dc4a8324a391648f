// A test root's catalogue, written straight into its data files through the host's data-file
// code and the mall library's file definitions: the records are exactly what the module reads.
#pragma once

#include <cstdint>
#include <string>

namespace e2e {

// Points this process's data-file code at root's data files, as hostd and mallctl find them:
// data/ under the root, or the database its data.cfg names.
void use_data_of(const std::string &root);

struct StoreDef {
    std::string id, name, mail_user, access_key, icon, description;
};
struct ExtendedDef {
    std::string manager, address, city_state_zip, country, phone, fax;
};
// Members left out of an initializer are empty or zero.
struct DeptDef {
    std::string store = "", id = "", name = "", icon = "", description = "";
    uint8_t flags = 0;
};
struct ProductDef {
    std::string store = "", dept = "", id = "", name = "", description = "";
    uint16_t flags = 0;
    float price = 0, member_price = 0;
    std::string member_key = "";
    int32_t info_kind = 0;
    int32_t stock = 0;
};

// Opens the catalogue files under root/data/ (mallctl init made them) and closes them again
// when it goes. Every failed insert is a test failure.
class Catalogue {
  public:
    explicit Catalogue(const std::string &root);
    ~Catalogue();
    Catalogue(const Catalogue &) = delete;
    Catalogue &operator=(const Catalogue &) = delete;

    void store(const StoreDef &def);
    void extended(const std::string &store, const ExtendedDef &def);
    void department(const DeptDef &def);
    void product(const ProductDef &def);
    void keyword(const std::string &store, const std::string &dept, const std::string &word,
                 const std::string &product);

  private:
    int store_file_, product_file_, keyword_file_;
};

}  // namespace e2e
