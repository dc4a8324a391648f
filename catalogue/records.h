// Record layouts of the catalogue files (store file, product file, format file, keyword file)
// and their keys, byte for byte as they lie in the files.
//
// Every layout is packed and every field falls on its natural alignment, so the structures can
// be read straight out of a record buffer. Never bind a reference or a pointer-to-member of a
// wider type to a packed field: copy the value out, or use the field's address as char *.
#pragma once

#include <cstddef>
#include <cstdint>

// Text widths, terminator included: an identifier holds at most width - 1 characters.
constexpr int kStoreIdSize = 9;
constexpr int kDeptIdSize = 9;
constexpr int kProductIdSize = 16;
constexpr int kFormatNameSize = 11;
constexpr int kFormatChoiceSize = 11;
constexpr int kFormatChoices = 6;
constexpr int kKeywordSize = 20;
constexpr int kPictures = 3;
constexpr int kDiscounts = 5;
constexpr int kQuestions = 5;
constexpr int kQuestionSize = 60;

// ---------------------------------------------------------------------------------------------
// Store file: store (1), department (2) and extended store (3) records, told apart by the
// first byte.

constexpr uint8_t kRecordStore = 1;
constexpr uint8_t kRecordDepartment = 2;
constexpr uint8_t kRecordExtended = 3;

constexpr int kStoreRecordSize = 498;
constexpr int kDepartmentRecordSize = 500;
constexpr int kExtendedStoreRecordSize = 500;
// The longest record of the store file. A walk along key 0 from the last store steps onto a
// department record, so any buffer that reads the store file by key must hold this much, even
// when it only wants store records.
constexpr int kStoreFileRecordSize = 500;

// Key 0: record type + store id (duplicates: the departments of a store share it).
// Key 1: record type + store id + department id (unique; empty department for types 1 and 3).
constexpr int kStoreFileKeyType = 0;
constexpr int kStoreFileKeyDept = 1;

// The department with this one-byte id is reserved: the department list stops at it.
constexpr char kReservedDeptId[] = "\x01";

// Department flag: its products cannot be ordered.
constexpr uint8_t kDeptNoOrders = 0x01;

#pragma pack(push, 1)

struct StoreRecord {
    uint8_t record_type;            // kRecordStore
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];      // always empty: the department slot of key 1
    char name[80];
    char mail_user[30];             // host user whose mail address the pages show
    char access_key[19];            // key a shopper must hold to see the store; "" open
    char icon[13];
    char po_key[80];                // key a shopper must hold to pay by purchase order
    char description[257];
};
static_assert(offsetof(StoreRecord, record_type) == 0);
static_assert(offsetof(StoreRecord, store_id) == 1);
static_assert(offsetof(StoreRecord, dept_id) == 10);
static_assert(offsetof(StoreRecord, name) == 19);
static_assert(offsetof(StoreRecord, mail_user) == 99);
static_assert(offsetof(StoreRecord, access_key) == 129);
static_assert(offsetof(StoreRecord, icon) == 148);
static_assert(offsetof(StoreRecord, po_key) == 161);
static_assert(offsetof(StoreRecord, description) == 241);
static_assert(sizeof(StoreRecord) == kStoreRecordSize);

struct DepartmentRecord {
    uint8_t record_type;            // kRecordDepartment
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];
    char name[80];
    char icon[17];
    uint8_t flags;                  // kDeptNoOrders
    char reserved_117[127];
    char description[256];
};
static_assert(offsetof(DepartmentRecord, record_type) == 0);
static_assert(offsetof(DepartmentRecord, store_id) == 1);
static_assert(offsetof(DepartmentRecord, dept_id) == 10);
static_assert(offsetof(DepartmentRecord, name) == 19);
static_assert(offsetof(DepartmentRecord, icon) == 99);
static_assert(offsetof(DepartmentRecord, flags) == 116);
static_assert(offsetof(DepartmentRecord, description) == 244);
static_assert(sizeof(DepartmentRecord) == kDepartmentRecordSize);

struct ExtendedStoreRecord {
    uint8_t record_type;            // kRecordExtended
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];      // always empty: the department slot of key 1
    char reserved_19;
    float max_order;                // largest order amount; 0 for no limit
    uint16_t options;               // purchase options offered
    uint16_t download_options;      // offered when the order holds a download item
    char manager[30];
    char address[30];
    char city_state_zip[30];
    char country[30];
    char phone[16];
    char fax[16];
    char weight_format[16];
    uint32_t tax_settings;          // rate selectors in bits 0-2 and 3-5; 64 compound tax
    char questions[kQuestions][kQuestionSize];
};
static_assert(offsetof(ExtendedStoreRecord, record_type) == 0);
static_assert(offsetof(ExtendedStoreRecord, store_id) == 1);
static_assert(offsetof(ExtendedStoreRecord, dept_id) == 10);
static_assert(offsetof(ExtendedStoreRecord, max_order) == 20);
static_assert(offsetof(ExtendedStoreRecord, options) == 24);
static_assert(offsetof(ExtendedStoreRecord, download_options) == 26);
static_assert(offsetof(ExtendedStoreRecord, manager) == 28);
static_assert(offsetof(ExtendedStoreRecord, address) == 58);
static_assert(offsetof(ExtendedStoreRecord, city_state_zip) == 88);
static_assert(offsetof(ExtendedStoreRecord, country) == 118);
static_assert(offsetof(ExtendedStoreRecord, phone) == 148);
static_assert(offsetof(ExtendedStoreRecord, fax) == 164);
static_assert(offsetof(ExtendedStoreRecord, weight_format) == 180);
static_assert(offsetof(ExtendedStoreRecord, tax_settings) == 196);
static_assert(offsetof(ExtendedStoreRecord, questions) == 200);
static_assert(sizeof(ExtendedStoreRecord) == kExtendedStoreRecordSize);

// Key buffers of the store file.
struct StoreKey0 {
    uint8_t record_type;
    char store_id[kStoreIdSize];
};
static_assert(sizeof(StoreKey0) == 10);

struct StoreKey1 {
    uint8_t record_type;
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];
};
static_assert(sizeof(StoreKey1) == 19);

#pragma pack(pop)

// ---------------------------------------------------------------------------------------------
// Product file.

constexpr int kProductRecordSize = 1020;

// Key 0: store id + product id (duplicates: two departments may use one id).
// Key 1: store id + department id + product id (unique).
constexpr int kProductKeyStore = 0;
constexpr int kProductKeyDept = 1;

// Product flags.
constexpr uint16_t kProductTaxable = 0x01;
constexpr uint16_t kProductTaxExemptKey = 0x02;   // holders of the tax-exemption key pay none
constexpr uint16_t kProductMemberPrice = 0x04;
constexpr uint16_t kProductCountStock = 0x08;
constexpr uint16_t kProductBackOrder = 0x10;      // may be ordered beyond the stock
constexpr uint16_t kProductFormatRequired = 0x20; // a choice must be made for each format
constexpr uint16_t kProductNoShipping = 0x40;

#pragma pack(push, 1)

// One quantity range of the discount table.
struct DiscountRange {
    int32_t min;
    int32_t max;
};
static_assert(sizeof(DiscountRange) == 8);

struct ProductRecord {
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];
    char product_id[kProductIdSize];  // may contain blanks
    char name[80];
    char description[240];
    uint16_t flags;
    float price;
    float member_price;
    char member_key[16];
    char tax_exempt_key[16];
    float handling_first;           // handling for the first unit
    float handling_more;            // handling for every further unit
    int32_t info_kind;              // information page kind, 0 to 3
    char download[81];              // non-empty: the product is delivered as a download
    char pictures[kPictures][81];   // paths with backslashes
    char abstract[81];
    char sound[81];
    char reserved_894[2];
    int32_t stock;
    char format1[kFormatNameSize];
    char reserved_911;
    DiscountRange discounts[kDiscounts];
    float discount_percent[kDiscounts];  // for the range of the same position
    char format2[kFormatNameSize];
    char reserved_983;
    float weight;                   // of one unit
    char reserved_988[4];
    uint32_t offered;               // choices offered: bits 0-5 format 1, bits 8-13 format 2
    char reserved_996[24];
};
static_assert(offsetof(ProductRecord, store_id) == 0);
static_assert(offsetof(ProductRecord, dept_id) == 9);
static_assert(offsetof(ProductRecord, product_id) == 18);
static_assert(offsetof(ProductRecord, name) == 34);
static_assert(offsetof(ProductRecord, description) == 114);
static_assert(offsetof(ProductRecord, flags) == 354);
static_assert(offsetof(ProductRecord, price) == 356);
static_assert(offsetof(ProductRecord, member_price) == 360);
static_assert(offsetof(ProductRecord, member_key) == 364);
static_assert(offsetof(ProductRecord, tax_exempt_key) == 380);
static_assert(offsetof(ProductRecord, handling_first) == 396);
static_assert(offsetof(ProductRecord, handling_more) == 400);
static_assert(offsetof(ProductRecord, info_kind) == 404);
static_assert(offsetof(ProductRecord, download) == 408);
static_assert(offsetof(ProductRecord, pictures) == 489);
static_assert(offsetof(ProductRecord, pictures) + 81 == 570);
static_assert(offsetof(ProductRecord, pictures) + 2 * 81 == 651);
static_assert(offsetof(ProductRecord, abstract) == 732);
static_assert(offsetof(ProductRecord, sound) == 813);
static_assert(offsetof(ProductRecord, stock) == 896);
static_assert(offsetof(ProductRecord, format1) == 900);
static_assert(offsetof(ProductRecord, discounts) == 912);
static_assert(offsetof(ProductRecord, discount_percent) == 952);
static_assert(offsetof(ProductRecord, format2) == 972);
static_assert(offsetof(ProductRecord, weight) == 984);
static_assert(offsetof(ProductRecord, offered) == 992);
static_assert(sizeof(ProductRecord) == kProductRecordSize);

// Key buffers of the product file.
struct ProductKey0 {
    char store_id[kStoreIdSize];
    char product_id[kProductIdSize];
};
static_assert(sizeof(ProductKey0) == 25);

struct ProductKey1 {
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];
    char product_id[kProductIdSize];
};
static_assert(sizeof(ProductKey1) == 34);

#pragma pack(pop)

// ---------------------------------------------------------------------------------------------
// Format file: the choices of a product format ("SIZE": Small, Medium, Large).

// The records are 122 bytes; the choices end at 86 and the rest is kept zero.
constexpr int kFormatRecordSize = 122;

// Key 0: store id (duplicates). Key 1: store id + format name (unique).
constexpr int kFormatKeyStore = 0;
constexpr int kFormatKeyName = 1;

#pragma pack(push, 1)

struct FormatRecord {
    char store_id[kStoreIdSize];
    char name[kFormatNameSize];
    char choices[kFormatChoices][kFormatChoiceSize];  // "" where the choice does not exist
    char reserved_86[36];
};
static_assert(offsetof(FormatRecord, store_id) == 0);
static_assert(offsetof(FormatRecord, name) == 9);
static_assert(offsetof(FormatRecord, choices) == 20);
static_assert(offsetof(FormatRecord, choices) + 5 * kFormatChoiceSize == 75);
static_assert(sizeof(FormatRecord) == kFormatRecordSize);

struct FormatKey0 {
    char store_id[kStoreIdSize];
};
static_assert(sizeof(FormatKey0) == 9);

struct FormatKey1 {
    char store_id[kStoreIdSize];
    char name[kFormatNameSize];
};
static_assert(sizeof(FormatKey1) == 20);

#pragma pack(pop)

// ---------------------------------------------------------------------------------------------
// Keyword file: one record ties one keyword to one product.

constexpr int kKeywordRecordSize = 54;

// One key per search kind, all with duplicates: the whole mall, one store, one department.
constexpr int kKeywordKeyMall = 0;   // keyword
constexpr int kKeywordKeyStore = 1;  // store id + keyword
constexpr int kKeywordKeyDept = 2;   // store id + department id + keyword

#pragma pack(push, 1)

struct KeywordRecord {
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];
    char keyword[kKeywordSize];
    char product_id[kProductIdSize];
};
static_assert(offsetof(KeywordRecord, store_id) == 0);
static_assert(offsetof(KeywordRecord, dept_id) == 9);
static_assert(offsetof(KeywordRecord, keyword) == 18);
static_assert(offsetof(KeywordRecord, product_id) == 38);
static_assert(sizeof(KeywordRecord) == kKeywordRecordSize);

struct KeywordKey0 {
    char keyword[kKeywordSize];
};
static_assert(sizeof(KeywordKey0) == 20);

struct KeywordKey1 {
    char store_id[kStoreIdSize];
    char keyword[kKeywordSize];
};
static_assert(sizeof(KeywordKey1) == 29);

struct KeywordKey2 {
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];
    char keyword[kKeywordSize];
};
static_assert(sizeof(KeywordKey2) == 38);

#pragma pack(pop)
