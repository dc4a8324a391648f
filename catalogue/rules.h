// The rules every catalogue page shares: the mall's and a store's page entries, who may see a
// store, when a product is available and which price applies, the image locators, and the record
// look-ups and texts (FormatText, MakeEmail, ProductEntries) other parts build on.
#pragma once

#include <cstdint>

#include "catalogue/records.h"
#include "shell/buffers.h"
#include "shell/module.h"

class STable;

// The module's record buffers as the records they hold, for the pages that read records
// themselves (a walk along a file's keys, the two halves of the product buffer).
inline StoreRecord *StoreRec() { return reinterpret_cast<StoreRecord *>(StoreBuffer); }
inline DepartmentRecord *DeptRec() { return reinterpret_cast<DepartmentRecord *>(DeptBuffer); }
inline ExtendedStoreRecord *ExtStoreRec() {
    return reinterpret_cast<ExtendedStoreRecord *>(ExtStoreBuffer);
}
inline ProductRecord *ProductRec() { return reinterpret_cast<ProductRecord *>(ProductBuffer); }
inline FormatRecord *FormatRec() { return reinterpret_cast<FormatRecord *>(FormatBuffer); }

// Terminates every text field of a record in its last byte, so a field filled to its full width
// can never run into the next one (or past the buffer) when a page copies it. Each record
// look-up below does this; a caller reading records itself calls it after the read.
void TerminateTexts(StoreRecord *store);
void TerminateTexts(DepartmentRecord *dept);
void TerminateTexts(ExtendedStoreRecord *ext);
void TerminateTexts(ProductRecord *product);
void TerminateTexts(FormatRecord *format);
void TerminateTexts(KeywordRecord *hit);

// The value of request parameter name, cut to size - 1 characters, into out.
char *TakeParam(char *out, int size, const char *name);

// Keys, built in zeroed buffers so no stale byte ever reaches a look-up.
StoreKey0 MakeStoreKey0(uint8_t record_type, const char *store_id);
StoreKey1 MakeStoreKey1(uint8_t record_type, const char *store_id, const char *dept_id);
ProductKey1 MakeProductKey1(const char *store_id, const char *dept_id, const char *product_id);

// Record look-ups by identifier into the module's buffers (the store record, the extended
// store record, the department record, the product record), each with the get-equal look-up;
// the file selection is left as it was. Each returns the record read, in its buffer and valid
// until the next read of its kind, or nullptr when there is no such record (the buffer is then
// as it was).
StoreRecord *ReadStore(const char *store_id);
ExtendedStoreRecord *ReadExtStore(const char *store_id);
DepartmentRecord *ReadDepartment(const char *store_id, const char *dept_id);
ProductRecord *ReadProduct(const char *store_id, const char *dept_id, const char *product_id);
// The store's format format_name (key 1 of the format file), into the format buffer.
FormatRecord *ReadFormat(const char *store_id, const char *format_name);

// "roothtm", "MALLNAME", "MALLIMAGE" and "CURRENCY": the entries of every page of the mall.
void SetMallEntries(STable *table);
// "STORENAME", "STOREMAIL" and "STOREBKG" of a store's pages. background_id is the store id
// as the page's own links spell it, which names the background's directory in its URL.
void SetStoreEntries(STable *table, const StoreRecord *store, const char *background_id);
// "CURRENCY": the text of message 52, which templates put in front of amounts; "" without it.
constexpr int kCurrencyMessage = 52;
void SetCurrency(STable *table);

// A section switch: both entries "" when the stretch shows, "<!--" and "-->" when it does not.
void SetSection(STable *table, const char *open, const char *close, bool shown);

// Store access rule: CanAccess with the store's access key.
int16_t CanSeeStore(const StoreRecord *store, int16_t report);
// Availability rule: not available when the stock is counted, back orders are not taken and
// nothing is in stock.
bool ProductAvailable(const ProductRecord *product);
// Member-price rule: the member price when the product has one and the shopper holds its key.
float ProductPrice(const ProductRecord *product);

// A product identifier as pages write it: blanks as '+' (a link brings them back as blanks).
// One static text, overwritten by the next call.
char *PlusId(const char *product_id);
// A picture, abstract or sound reference as a URL path: backslashes as '/'. One static text.
char *SlashPath(const char *reference);

// The identifier a next-page link hands on: the following record's identifier with its last
// character one lower, so that "greater than" finds that record first. In place.
void DecreaseLastChar(char *id);
// The next-page link of a list walked with "greater than": the section "C1"/"C2" shown when
// there is more, and then "LAST", the identifier of the next page's first record decreased.
void SetNextPageLink(STable *table, bool more, const char *next_id);

// Image locators: the relative URL of a picture below option 9's KVZSV directory, or "" when
// the file is not there (or a part of its path could climb out of its directory). Each has its
// own 256-byte static text, overwritten by its next call.
MODULE_EXPORT char *GetMallImage(void);
MODULE_EXPORT char *GetStoreBkg(const char *store_id);
MODULE_EXPORT char *GetStoreIcon(const char *store_id, const char *icon);
MODULE_EXPORT char *GetDeptIcon(const char *store_id, const char *dept_id, const char *icon);

// The text of choice (0 to 5) of a store's format; "" when the format or the choice does not
// exist, and for -1, an item without a choice. A static 11-byte text.
char *FormatText(const char *store_id, const char *format_name, int choice);
// The same text as the cart and the totals show it: "-" for an item without a choice.
const char *ChoiceText(const char *store_id, const char *format_name, int choice);

// The host alias of userid followed by option 10, in one 128-byte static buffer; a longer
// address is cut to 127 characters.
MODULE_EXPORT char *MakeEmail(const char *userid);

// Puts the entries of the product a keyword record points at into table ("STOREID", "DEPTID",
// "PRODID", "PRODNAME", "PRODDESC", "PRODPRICE", "INFO") and tells whether it may be shown: its
// store exists and the shopper may see it, and the product exists and is available. A missing
// product still sets the entries (empty, 0.00, option 16), from a zeroed record buffer.
bool ProductEntries(const KeywordRecord *hit, STable *table);
