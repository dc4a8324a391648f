// Orders: the shopper's order as the module keeps it in memory (OrderSlot, OrderItem) and as the
// order file stores it once submitted (StoredOrder, its StoredOrderItems, the order password).
//
// The stored layouts are packed, every field on its natural alignment except in the order file's
// key 0 buffer; never bind a reference to a packed field.
#pragma once

#include <netinet/in.h>

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "catalogue/records.h"
#include "orders/customer_record.h"

constexpr int kPaymentTextSize = 30;

#pragma pack(push, 1)

// The five payment texts, in this order in the order slot and in the stored order.
struct PaymentDetails {
    char holder[kPaymentTextSize];   // card holder's name, or the purchase-order number
    char address[kPaymentTextSize];  // card billing address
    char zip[kPaymentTextSize];      // card billing zip
    char number[kPaymentTextSize];   // card number, digits only
    char expiry[kPaymentTextSize];   // card expiry, MMYY once accepted
};
static_assert(offsetof(PaymentDetails, address) == 30);
static_assert(offsetof(PaymentDetails, zip) == 60);
static_assert(offsetof(PaymentDetails, number) == 90);
static_assert(offsetof(PaymentDetails, expiry) == 120);
static_assert(sizeof(PaymentDetails) == 150);

#pragma pack(pop)

// ---------------------------------------------------------------------------------------------
// The order in memory. Not stored anywhere, so these keep their natural layout.

constexpr int kOrderSlotItems = 10;
constexpr int kShippingLineSize = 256;

struct OrderItem {
    char store_id[kStoreIdSize];
    char dept_id[kDeptIdSize];
    char product_id[kProductIdSize];
    int16_t quantity;
    int16_t back_ordered;         // the part of the quantity beyond the stock on hand
    int16_t choice1;              // choice of the product's first format; -1 none
    int16_t choice2;              // choice of the second format; -1 none
    int16_t download;             // 1 when delivered by download
    uint16_t flags;               // the product's flags when it was added
    float unit_weight;
    float unit_price;             // charged per unit, discount applied; set by the totals page
    float discount;               // quantity-discount fraction, 0.05 for 5 %
};

// Cleared to zero when created; the shopper's address is its key.
struct OrderSlot {
    struct in_addr shopper;       // the peer's IPv4 address, network byte order
    char store_id[kStoreIdSize];  // an order never mixes stores
    OrderItem items[kOrderSlotItems];
    int16_t count;                // valid items, 0 to kOrderSlotItems
    int16_t lifetime;             // sweep periods left without a request from the shopper
    CustomerRecord customer;
    uint16_t purchase_option;     // the option chosen; 255 when nothing is to be paid
    float subtotal;
    float shipping;
    float handling;
    float tax;
    float tax_rate1;              // percent
    float tax_rate2;
    float weight_total;
    PaymentDetails payment;
    char shipping_line[kShippingLineSize];  // the chosen shipping option line
    // 1 while the amounts above and the items' prices are those of the order as it stands:
    // the totals page sets it, and every change of the items, the address or the shipping
    // method clears it, so a submission never stores prices of an earlier order.
    int16_t priced;
    // The user verified when the way to pay was chosen ("" for none). Paying by member account
    // or purchase order is charged to that user, so only that user may submit such an order.
    char purchase_user[kCustomerUserIdSize];
};

// ---------------------------------------------------------------------------------------------
// The order file. A record is the fixed part, item_count items and, for an anonymous buyer
// (origin 2), the 100-byte order password; its length says how much of it there is.

constexpr int kStoredOrderSize = 996;           // the fixed part
constexpr int kStoredOrderItemSize = 148;
constexpr int kOrderPasswordSize = 100;
constexpr int kStoredOrderMaxItems = 100;       // what the module's order buffer holds
constexpr int kStoredOrderBufferSize = kStoredOrderSize + kStoredOrderMaxItems * kStoredOrderItemSize;
// The longest record the order file takes. Anything longer would not fit the module's buffer
// when read back, so the file refuses it.
constexpr int kOrderFileRecordSize = kStoredOrderBufferSize;

constexpr uint8_t kOriginVerified = 0;   // the order password is the user id
constexpr uint8_t kOriginAnonymous = 2;  // the order password follows the items
constexpr char kOrderStatusSubmitted[] = "SUBMITTED";

// Key 0: store id + order number (unique), so a store's highest number sorts last in its range.
// Key 1: order number + store id (unique), exactly the record's first 13 bytes.
constexpr int kOrderKeyStore = 0;
constexpr int kOrderKeyNumber = 1;

constexpr int kShipMethodSize = 61;
constexpr int kStatusSize = 63;
constexpr int kAnswerSize = 30;
constexpr int kAnswers = 5;
constexpr int kItemFormatSize = 11;

#pragma pack(push, 1)

struct StoredOrder {
    int32_t order_number;         // the invoice number shown to the buyer
    char store_id[kStoreIdSize];
    char reserved_13;
    uint16_t date;                // host day count of the submission
    uint16_t time;                // host packed time of the submission
    int16_t item_count;
    uint16_t payment_type;        // bit number 0 to 10 of the purchase option; 255 nothing to pay
    PaymentDetails payment;
    CustomerRecord customer;      // for a verified buyer user_id holds the buyer's user id
    float ship_first;             // shipping charge for the first unit
    float ship_more;              // for every further unit
    char ship_method[kShipMethodSize];
    char reserved_741;
    int16_t handling_flag;        // 1 when the shipping method charges handling
    float tax_rate1;
    float subtotal;
    float handling;
    float shipping;
    float tax;
    char status[kStatusSize];     // kOrderStatusSubmitted
    char answers[kAnswers][kAnswerSize];
    char reserved_977[3];
    float tax_rate2;
    int16_t compound_tax;         // 64 when the second tax compounds on the first, else 0
    char reserved_986;
    uint8_t origin;               // kOriginVerified or kOriginAnonymous
    char reserved_988[8];
};
static_assert(offsetof(StoredOrder, order_number) == 0);
static_assert(offsetof(StoredOrder, store_id) == 4);
static_assert(offsetof(StoredOrder, reserved_13) == 13);
static_assert(offsetof(StoredOrder, date) == 14);
static_assert(offsetof(StoredOrder, time) == 16);
static_assert(offsetof(StoredOrder, item_count) == 18);
static_assert(offsetof(StoredOrder, payment_type) == 20);
static_assert(offsetof(StoredOrder, payment) == 22);
static_assert(offsetof(StoredOrder, customer) == 172);
static_assert(offsetof(StoredOrder, ship_first) == 672);
static_assert(offsetof(StoredOrder, ship_more) == 676);
static_assert(offsetof(StoredOrder, ship_method) == 680);
static_assert(offsetof(StoredOrder, handling_flag) == 742);
static_assert(offsetof(StoredOrder, tax_rate1) == 744);
static_assert(offsetof(StoredOrder, subtotal) == 748);
static_assert(offsetof(StoredOrder, handling) == 752);
static_assert(offsetof(StoredOrder, shipping) == 756);
static_assert(offsetof(StoredOrder, tax) == 760);
static_assert(offsetof(StoredOrder, status) == 764);
static_assert(offsetof(StoredOrder, answers) == 827);
static_assert(offsetof(StoredOrder, tax_rate2) == 980);
static_assert(offsetof(StoredOrder, compound_tax) == 984);
static_assert(offsetof(StoredOrder, origin) == 987);
static_assert(sizeof(StoredOrder) == kStoredOrderSize);

struct StoredOrderItem {
    int16_t quantity;
    char dept_id[kDeptIdSize];
    char product_id[kProductIdSize];
    char name[80];
    char reserved_107;
    float unit_price;             // charged per unit, discount applied
    float handling;               // handling charge of the whole line
    char format1[kItemFormatSize];  // first format text, or "DOWNLOAD"
    char format2[kItemFormatSize];
    char reserved_138[2];
    float line_weight;            // quantity x unit weight
    float discount;               // quantity-discount fraction
};
static_assert(offsetof(StoredOrderItem, quantity) == 0);
static_assert(offsetof(StoredOrderItem, dept_id) == 2);
static_assert(offsetof(StoredOrderItem, product_id) == 11);
static_assert(offsetof(StoredOrderItem, name) == 27);
static_assert(offsetof(StoredOrderItem, unit_price) == 108);
static_assert(offsetof(StoredOrderItem, handling) == 112);
static_assert(offsetof(StoredOrderItem, format1) == 116);
static_assert(offsetof(StoredOrderItem, format2) == 127);
static_assert(offsetof(StoredOrderItem, line_weight) == 140);
static_assert(offsetof(StoredOrderItem, discount) == 144);
static_assert(sizeof(StoredOrderItem) == kStoredOrderItemSize);

// The module's order buffer: the fixed part and room for kStoredOrderMaxItems items. An
// anonymous buyer's password lies right after the last item, at items[item_count], so such an
// order holds at most kStoredOrderMaxItems - 1 items.
struct StoredOrderBuffer {
    StoredOrder order;
    StoredOrderItem items[kStoredOrderMaxItems];
};
static_assert(offsetof(StoredOrderBuffer, items) == kStoredOrderSize);
static_assert(sizeof(StoredOrderBuffer) == kStoredOrderBufferSize);
static_assert(kStoredOrderBufferSize == 15796);

// The length of a record with count items; the password counts for an anonymous buyer.
constexpr int StoredOrderLength(int count, bool with_password) {
    return kStoredOrderSize + count * kStoredOrderItemSize + (with_password ? kOrderPasswordSize : 0);
}

// Where an anonymous buyer's order password lies in a record of count items.
inline char *StoredOrderPassword(StoredOrderBuffer *buffer, int count) {
    assert(count >= 0 && count < kStoredOrderMaxItems);
    return reinterpret_cast<char *>(buffer) + kStoredOrderSize + count * kStoredOrderItemSize;
}

// Key buffers of the order file. Integers are given in the record's own form (little-endian);
// the data-file service orders them numerically.
struct OrderKey0 {
    char store_id[kStoreIdSize];
    int32_t order_number;
};
static_assert(sizeof(OrderKey0) == 13);

struct OrderKey1 {
    int32_t order_number;
    char store_id[kStoreIdSize];
};
static_assert(sizeof(OrderKey1) == 13);

#pragma pack(pop)
