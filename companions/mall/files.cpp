// The definitions of the mall's data files, in one place for the mall library and mallctl.
#include "companions/mall/files.h"

#include <cstddef>

#include "catalogue/records.h"
#include "orders/customer_record.h"
#include "orders/records.h"

namespace {

constexpr HostKeySegment Text(size_t offset, int width) {
    return HostKeySegment{static_cast<int16_t>(offset), static_cast<int16_t>(width), HOST_KEY_TEXT};
}
constexpr HostKeySegment Byte(size_t offset) {
    return HostKeySegment{static_cast<int16_t>(offset), 1, HOST_KEY_BYTE};
}
constexpr HostKeySegment Int32(size_t offset) {
    return HostKeySegment{static_cast<int16_t>(offset), 4, HOST_KEY_INT32};
}

// Texts compare up to their terminator ignoring letter case, so "acme" finds ACME; integers
// numerically, so a store's order numbers lie in numeric order within its range of key 0.
const MallFileDef kDefinitions[kMallFiles] = {
    {"catalogue.db", "stores", kStoreFileRecordSize, 2,
     {
         {0, 2, {Byte(offsetof(StoreRecord, record_type)), Text(offsetof(StoreRecord, store_id), kStoreIdSize)}},
         {1, 3, {Byte(offsetof(StoreRecord, record_type)), Text(offsetof(StoreRecord, store_id), kStoreIdSize),
                 Text(offsetof(StoreRecord, dept_id), kDeptIdSize)}},
     }},
    {"catalogue.db", "products", kProductRecordSize, 2,
     {
         {0, 2, {Text(offsetof(ProductRecord, store_id), kStoreIdSize),
                 Text(offsetof(ProductRecord, product_id), kProductIdSize)}},
         {1, 3, {Text(offsetof(ProductRecord, store_id), kStoreIdSize),
                 Text(offsetof(ProductRecord, dept_id), kDeptIdSize),
                 Text(offsetof(ProductRecord, product_id), kProductIdSize)}},
     }},
    {"catalogue.db", "formats", kFormatRecordSize, 2,
     {
         {0, 1, {Text(offsetof(FormatRecord, store_id), kStoreIdSize)}},
         {1, 2, {Text(offsetof(FormatRecord, store_id), kStoreIdSize),
                 Text(offsetof(FormatRecord, name), kFormatNameSize)}},
     }},
    {"customers.db", "customers", kCustomerRecordSize, 1,
     {
         {1, 1, {Text(offsetof(CustomerRecord, user_id), kCustomerUserIdSize)}},
     }},
    {"orders.db", "orders", kOrderFileRecordSize, 2,
     {
         {1, 2, {Text(offsetof(StoredOrder, store_id), kStoreIdSize), Int32(offsetof(StoredOrder, order_number))}},
         {1, 2, {Int32(offsetof(StoredOrder, order_number)), Text(offsetof(StoredOrder, store_id), kStoreIdSize)}},
     }},
    {"catalogue.db", "keywords", kKeywordRecordSize, 3,
     {
         {0, 1, {Text(offsetof(KeywordRecord, keyword), kKeywordSize)}},
         {0, 2, {Text(offsetof(KeywordRecord, store_id), kStoreIdSize),
                 Text(offsetof(KeywordRecord, keyword), kKeywordSize)}},
         {0, 3, {Text(offsetof(KeywordRecord, store_id), kStoreIdSize),
                 Text(offsetof(KeywordRecord, dept_id), kDeptIdSize),
                 Text(offsetof(KeywordRecord, keyword), kKeywordSize)}},
     }},
};

}  // namespace

const MallFileDef &MallFileDefinition(MallFile which) {
    return kDefinitions[static_cast<int>(which)];
}

HostFile OpenMallFile(MallFile which) {
    const MallFileDef &def = MallFileDefinition(which);
    return _dfaOpen(def.database, def.table, def.record_size, def.key_count, def.keys);
}

bool OpenMallFiles(MallVars *vars) {
    vars->store_file = OpenMallFile(MallFile::store);
    vars->product_file = OpenMallFile(MallFile::product);
    vars->format_file = OpenMallFile(MallFile::format);
    vars->customer_file = OpenMallFile(MallFile::customer);
    vars->order_file = OpenMallFile(MallFile::order);
    vars->keyword_file = OpenMallFile(MallFile::keyword);
    return vars->store_file >= 0 && vars->product_file >= 0 && vars->format_file >= 0 &&
           vars->customer_file >= 0 && vars->order_file >= 0 && vars->keyword_file >= 0;
}
