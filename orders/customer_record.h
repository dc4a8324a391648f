// The customer record: a shopper's billing and shipping details, byte for byte as the customer
// file holds it and as every order slot and stored order carries a copy of it.
//
// Packed, every field on its natural alignment; never bind a reference to a packed field.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kCustomerRecordSize = 500;
constexpr int kCustomerUserIdSize = 30;

// Key 0: the user id (unique).
constexpr int kCustomerKeyUser = 0;

#pragma pack(push, 1)

// Texts hold at most their width - 1 characters. There is no shipping fax.
struct CustomerRecord {
    char user_id[kCustomerUserIdSize];
    char reserved_30[2];
    uint32_t created_day;           // host day count of the day the record was created
    char bname[30];
    char bcompany[30];
    char baddr1[30];
    char baddr2[30];
    char bcity[25];
    char bstate[6];
    char bzip[11];
    char bcountry[30];
    char bphone[16];
    char bfax[16];
    char sname[30];
    char scompany[30];
    char saddr1[30];
    char saddr2[30];
    char scity[25];
    char sstate[6];
    char szip[11];
    char scountry[30];
    char sphone[16];
    char reserved_468[32];
};
static_assert(offsetof(CustomerRecord, user_id) == 0);
static_assert(offsetof(CustomerRecord, created_day) == 32);
static_assert(offsetof(CustomerRecord, bname) == 36);
static_assert(offsetof(CustomerRecord, bcompany) == 66);
static_assert(offsetof(CustomerRecord, baddr1) == 96);
static_assert(offsetof(CustomerRecord, baddr2) == 126);
static_assert(offsetof(CustomerRecord, bcity) == 156);
static_assert(offsetof(CustomerRecord, bstate) == 181);
static_assert(offsetof(CustomerRecord, bzip) == 187);
static_assert(offsetof(CustomerRecord, bcountry) == 198);
static_assert(offsetof(CustomerRecord, bphone) == 228);
static_assert(offsetof(CustomerRecord, bfax) == 244);
static_assert(offsetof(CustomerRecord, sname) == 260);
static_assert(offsetof(CustomerRecord, scompany) == 290);
static_assert(offsetof(CustomerRecord, saddr1) == 320);
static_assert(offsetof(CustomerRecord, saddr2) == 350);
static_assert(offsetof(CustomerRecord, scity) == 380);
static_assert(offsetof(CustomerRecord, sstate) == 405);
static_assert(offsetof(CustomerRecord, szip) == 411);
static_assert(offsetof(CustomerRecord, scountry) == 422);
static_assert(offsetof(CustomerRecord, sphone) == 452);
static_assert(offsetof(CustomerRecord, reserved_468) == 468);
static_assert(sizeof(CustomerRecord) == kCustomerRecordSize);

struct CustomerKey0 {
    char user_id[kCustomerUserIdSize];
};
static_assert(sizeof(CustomerKey0) == 30);

#pragma pack(pop)
