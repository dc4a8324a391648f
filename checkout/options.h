// Purchase option values: one bit per way to pay, the sets a store allows, which of them the
// purchase options page lists to a shopper, and the option texts.
#pragma once

#include <cstdint>

#include "catalogue/records.h"
#include "orders/records.h"
#include "shell/module.h"

// Values 1 to 16 (bits 0 to 4) are card payments; 16 is the card library's type 256.
constexpr uint16_t kOptionCard1 = 1;
constexpr uint16_t kOptionCard2 = 2;
constexpr uint16_t kOptionCard4 = 4;
constexpr uint16_t kOptionCard8 = 8;
constexpr uint16_t kOptionCard16 = 16;
constexpr uint16_t kOptionNoDetails32 = 32;     // no payment details asked
constexpr uint16_t kOptionPurchaseOrder = 64;   // only with the store's purchase-order key
constexpr uint16_t kOptionNoDetails128 = 128;
constexpr uint16_t kOptionNoDetails256 = 256;
constexpr uint16_t kOptionMember = 512;         // only for a verified user; no details asked
constexpr uint16_t kOptionCheck = 1024;         // never offered, refused when posted
constexpr uint16_t kOptionNothingToPay = 255;   // set by the module, never offered

constexpr int kListedOptionBits = 10;           // the options page looks at bits 0 to 9

// The bit number of a one-bit value (1 gives 0, 1024 gives 10): how often it can be halved
// before the half is no longer above zero. 255 stays 255; values below 2 give 0.
MODULE_EXPORT int16_t TranslatePopt(int16_t value);

// The name of a purchase option: message 27 for 255, else the mall library's option text of
// its bit number. The text belongs to its source; "" when there is none.
MODULE_EXPORT const char *TextPopt(int16_t value);

// True when any item of the order is delivered by download.
bool OrderHasDownload(const OrderSlot *order);

// The options the store allows for this order: its download set when the order holds a
// download item, else its general set.
uint16_t AllowedOptions(const OrderSlot *order, const ExtendedStoreRecord *ext);

// Whether the purchase options page lists value (one bit) to this shopper.
bool OptionOffered(uint16_t value, uint16_t allowed, const StoreRecord *store);

// True for the five card options.
bool IsCardOption(uint16_t value);
