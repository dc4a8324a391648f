// The checkout's page handlers, from the customer details to the totals page, and what they
// share: the store entries of every checkout page and the customer record buffer.
#pragma once

#include <cstdint>

#include "catalogue/records.h"
#include "orders/customer_record.h"
#include "shell/buffers.h"
#include "shell/module.h"

class STable;
struct OrderSlot;

void GetCustomerInfo();      // GET "creg"
void SubmitCustomerInfo();   // POST "submitreg"
void ShowPurchaseOptions();  // POST "purchopt"
void StartPurchase();        // POST "startpurch"
MODULE_EXPORT void CompletePurchase(void);  // POST "complete"
MODULE_EXPORT void SubmitPurchase(void);    // POST "submit"
MODULE_EXPORT void Review(void);            // GET and POST "review"

// The totals page of the current order, with the caller's table: the caller has set the
// common page entries and the store entries and read the order's store record and extended
// store record into the module's buffers. Prices every item and stores the order's amounts.
MODULE_EXPORT void ShowTotalOrder(STable *table);

// Both tax rates of the order from the store's KVZSVTAX.CFG: lines "place~rate in percent",
// where the places are the order's shipping fields that settings choose; 0 where no line
// applies or there is no file.
void ReadTaxRates(OrderSlot *order, const char *store_id, uint32_t settings);

// The error page of a checkout step for a store without an extended store record.
extern const char kNoExtendedStore[];

// The order's store as a checkout page needs it: its record and its extended record.
struct CheckoutStore {
    const StoreRecord *store;
    const ExtendedStoreRecord *ext;
};
// "STOREID", then "STORENAME", "STOREMAIL" and "STOREBKG" from the store record, and the
// extended store record read as well. Both null after the error page: message 46 without the
// store record, kNoExtendedStore without the extended one.
CheckoutStore OpenCheckoutStore(STable *table, const char *store_id);

// A request parameter read as a decimal number into 16 bits (leading blanks and a sign taken,
// reading stops at the first other character). False when it lies outside 16 bits.
bool ShortParam(const char *name, int16_t *value);

// The module's customer record buffer.
inline CustomerRecord *CustomerRec() { return reinterpret_cast<CustomerRecord *>(CustomerBuffer); }

// The nineteen form fields of the customer record, in record order, each with its billing
// counterpart for a shipping field (-1 for a billing field).
struct CustomerField {
    const char *name;
    int offset;
    int width;
    int billing;    // index of the billing field a shipping field copies when left empty
    bool required;
};
constexpr int kCustomerFields = 19;
extern const CustomerField kCustomerFieldTable[kCustomerFields];

inline char *FieldOf(CustomerRecord *record, const CustomerField &field) {
    return reinterpret_cast<char *>(record) + field.offset;
}
inline const char *FieldOf(const CustomerRecord *record, const CustomerField &field) {
    return reinterpret_cast<const char *>(record) + field.offset;
}

// Terminates every text field of a customer record in its last byte.
void TerminateTexts(CustomerRecord *record);

// The nineteen fields, HTML-escaped, under their names.
void SetCustomerEntries(STable *table, const CustomerRecord *record);
