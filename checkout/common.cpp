// What the checkout pages share: the store entries, 16-bit parameters and the customer
// record's form fields.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>

#include "catalogue/rules.h"
#include "checkout/checkout.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"

const char kNoExtendedStore[] = "Unable to acquire extended store information";

#define FIELD(NAME, MEMBER, BILLING, REQUIRED)                                                \
    {NAME, static_cast<int>(offsetof(CustomerRecord, MEMBER)),                                \
     static_cast<int>(sizeof(CustomerRecord::MEMBER)), BILLING, REQUIRED}

const CustomerField kCustomerFieldTable[kCustomerFields] = {
    FIELD("BNAME", bname, -1, true),
    FIELD("BCOMPANY", bcompany, -1, false),
    FIELD("BADDR1", baddr1, -1, true),
    FIELD("BADDR2", baddr2, -1, false),
    FIELD("BCITY", bcity, -1, true),
    FIELD("BSTATE", bstate, -1, true),
    FIELD("BZIP", bzip, -1, true),
    FIELD("BCOUNTRY", bcountry, -1, false),
    FIELD("BPHONE", bphone, -1, true),
    FIELD("BFAX", bfax, -1, false),
    FIELD("SNAME", sname, 0, true),
    FIELD("SCOMPANY", scompany, 1, false),
    FIELD("SADDR1", saddr1, 2, true),
    FIELD("SADDR2", saddr2, 3, false),
    FIELD("SCITY", scity, 4, true),
    FIELD("SSTATE", sstate, 5, true),
    FIELD("SZIP", szip, 6, true),
    FIELD("SCOUNTRY", scountry, 7, false),
    FIELD("SPHONE", sphone, 8, true),
};

#undef FIELD

CheckoutStore OpenCheckoutStore(STable *table, const char *store_id) {
    char id[kStoreIdSize];
    _stzcpy(id, store_id, sizeof id);
    table->Set("STOREID", HtmlEscape(id));
    const StoreRecord *store = ReadStore(id);
    if (store == nullptr) {
        Error(_getMsgBlk(46));
        return {nullptr, nullptr};
    }
    SetStoreEntries(table, store, id);
    const ExtendedStoreRecord *ext = ReadExtStore(id);
    if (ext == nullptr) {
        Error(kNoExtendedStore);
        return {nullptr, nullptr};
    }
    return {store, ext};
}

bool ShortParam(const char *name, int16_t *value) {
    const char *text = GetParam(name);
    errno = 0;
    long number = std::strtol(text, nullptr, 10);
    if (errno == ERANGE || number < INT16_MIN || number > INT16_MAX) return false;
    *value = static_cast<int16_t>(number);
    return true;
}

void TerminateTexts(CustomerRecord *record) {
    record->user_id[sizeof record->user_id - 1] = '\0';
    for (const CustomerField &field : kCustomerFieldTable) FieldOf(record, field)[field.width - 1] = '\0';
}

void SetCustomerEntries(STable *table, const CustomerRecord *record) {
    for (const CustomerField &field : kCustomerFieldTable) {
        char text[32];
        _stzcpy(text, FieldOf(record, field), field.width);
        table->Set(field.name, HtmlEscape(text));
    }
}
