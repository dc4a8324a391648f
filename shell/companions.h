// What the module and the two companion libraries agree on: the MallVars block that the mall
// library fills, and the types of the nine entries the module looks up by name at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shell/host.h"

// The data version the module was written for; _GetVars reports another value (0 included)
// when the mall's files or its mall.cfg cannot be used, and the module then stays unhooked.
constexpr int16_t kMallDataVersion = 7;

// Purchase option names in the option text table, indexed by the option's bit number.
constexpr int kMallOptionTexts = 11;

// The block _GetVars fills. Integer widths and field order are the library's original ones;
// the text pointers are native, so on 64-bit Linux the table starts at 32 and the block is
// 128 bytes. The six file handles are host data-file handles, passed to _dfaSetBlk as they are.
struct MallVars {
    int16_t version;             // data version; the module runs only on kMallDataVersion
    int16_t unused_2;
    HostFile store_file;         // store, department and extended store records
    HostFile product_file;
    HostFile format_file;        // product format records
    HostFile customer_file;
    HostFile order_file;
    HostFile keyword_file;
    int32_t unused_28;
    // Purchase option names by bit number, 0 to 10; never null ("" when the mall has none).
    // The texts belong to the mall library and stay valid while it is loaded.
    const char *option_text[kMallOptionTexts];
    int16_t max_card_years;      // how many years ahead a card expiry may lie
    int16_t unused_122;
    int32_t unused_124;
};

static_assert(offsetof(MallVars, version) == 0);
static_assert(offsetof(MallVars, store_file) == 4);
static_assert(offsetof(MallVars, product_file) == 8);
static_assert(offsetof(MallVars, format_file) == 12);
static_assert(offsetof(MallVars, customer_file) == 16);
static_assert(offsetof(MallVars, order_file) == 20);
static_assert(offsetof(MallVars, keyword_file) == 24);
static_assert(offsetof(MallVars, option_text) == 32);
static_assert(sizeof(void *) != 8 || offsetof(MallVars, max_card_years) == 120);
static_assert(sizeof(void *) != 8 || sizeof(MallVars) == 128);

// Card type codes of the card library (_card_type_check). The module hands a card purchase
// option over as its own value, except option 16, which the card library knows as 256.
constexpr int16_t kCardTypeVisa = 1;
constexpr int16_t kCardTypeMasterCard = 2;
constexpr int16_t kCardTypeAmex = 4;
constexpr int16_t kCardTypeDiscover = 8;
constexpr int16_t kCardTypeJcb = 256;

// The entries, by the names under which LoadSV looks them up. Checks answer a 16-bit value;
// for the card checks nonzero means the card is refused.
extern "C" {
// Mall library (kvzsvall.so).
typedef int16_t (*GetVarsFn)(MallVars *vars);                  // "_GetVars"; 1 when usable
typedef char *(*Strip2AddrFn)(char *address);                  // "_Strip2Addr"; in place
typedef char *(*Strip2ZipFn)(char *zip);                       // "_Strip2Zip"; in place
typedef int16_t (*SubmitOrderFn)(const char *store_id, int32_t order_number); // "_SubmitOrder"
// Card library (kvzpos.so).
typedef int16_t (*PosAvlFn)(void);                                        // "_pos_avl"
typedef int16_t (*CardNumCheckFn)(const char *number);                    // "_card_num_check"
typedef int16_t (*BadCardCheckFn)(const char *number, const char *list, int16_t mode);
                                                                          // "_bad_card_check"
typedef int16_t (*CardTypeCheckFn)(const char *number, int16_t type);     // "_card_type_check"
typedef int16_t (*CheckExpirationFn)(const char *expiry);                 // "_check_expiration"
}
