// The customer details form ("creg") and its submission ("submitreg"). Destination "s1" keeps
// a verified user's details in the customer file; "s2" is the first step of checkout: the
// details go into the current order (and, for a verified user, the customer file too) and
// the shipping choice page follows.
#include <cstring>

#include "catalogue/rules.h"
#include "checkout/checkout.h"
#include "checkout/shipping.h"
#include "orders/slots.h"
#include "shell/buffers.h"
#include "shell/companion_entries.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

namespace {

constexpr int kDestSize = 10;  // "DEST" is taken at 9 characters

enum class Destination { Invalid, SaveDetails, Checkout };

Destination TakeDestination(char *dest) {
    TakeParam(dest, kDestSize, "DEST");
    if (_sameas(dest, "s1")) return Destination::SaveDetails;
    if (_sameas(dest, "s2")) return Destination::Checkout;
    return Destination::Invalid;
}

CustomerKey0 CustomerKey(const char *user_id) {
    CustomerKey0 key{};
    _stlcpy(key.user_id, user_id, sizeof key.user_id);
    return key;
}

// The user's record into the customer buffer; all zero and false when there is none.
bool ReadCustomer(const char *user_id) {
    CustomerKey0 key = CustomerKey(user_id);
    _dfaSetBlk(Mall.customer_file);
    bool found = _dfaAcqLock(CustomerBuffer, &key, kCustomerKeyUser, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (!found) std::memset(CustomerBuffer, 0, kCustomerRecordSize);
    TerminateTexts(CustomerRec());
    return found;
}

// Updates the user's record, or adds it when there is none yet. The look-up makes the
// record the file's current one, which is what an update replaces.
bool WriteCustomer(const char *user_id) {
    char record[kCustomerRecordSize];
    CustomerKey0 key = CustomerKey(user_id);
    _dfaSetBlk(Mall.customer_file);
    bool written = _dfaAcqLock(record, &key, kCustomerKeyUser, HOST_GET_EQUAL, 0)
                       ? _dfaUpdate(CustomerBuffer)
                       : _dfaInsert(CustomerBuffer);
    _dfaRstBlk();
    return written;
}

bool RequiredFieldsFilled(const CustomerRecord *customer) {
    for (const CustomerField &field : kCustomerFieldTable)
        if (field.required && FieldOf(customer, field)[0] == '\0') return false;
    return true;
}

}  // namespace

void GetCustomerInfo() {
    char dest[kDestSize];
    Destination destination = TakeDestination(dest);
    if (destination == Destination::Invalid) {
        Error("Invalid request to Get Customer Info");
        return;
    }
    if (destination == Destination::Checkout && (CurrentOrder() == nullptr || CurrentOrder()->count == 0)) {
        Error(_getMsgBlk(45));
        return;
    }
    if (destination == Destination::SaveDetails && !UserVerified()) {
        RequestLogon();
        return;
    }

    STable table;
    SetCommonEntries(&table);
    table.Set("DEPTID", HtmlEscape(GetParam("DID")));
    table.Set("PRODID", HtmlEscape(GetParam("PID")));
    table.Set("STOREID", HtmlEscape(GetParam("SID")));
    table.Set("DEST", HtmlEscape(dest));

    // A verified user sees the details of the customer file, also when checking out an order
    // that holds others.
    CustomerRecord *customer = CustomerRec();
    if (UserVerified()) {
        ReadCustomer(CurrentUserId());
    } else if (CurrentOrder() != nullptr) {
        std::memcpy(customer, &CurrentOrder()->customer, kCustomerRecordSize);
        TerminateTexts(customer);
    } else {
        std::memset(customer, 0, kCustomerRecordSize);
    }
    SetCustomerEntries(&table, customer);
    RunScript("SWSHPTBL.HTM", &table, "kvzsvw\\", WebOut);
}

void SubmitCustomerInfo() {
    char dest[kDestSize];
    Destination destination = TakeDestination(dest);
    if (destination == Destination::Invalid) {
        Error("Invalid request to Submit Customer Info");
        return;
    }

    STable table;
    SetCommonEntries(&table);

    // A shopper without a verified user id never reads or writes the customer file.
    CustomerRecord *customer = CustomerRec();
    bool verified = UserVerified();
    if (verified && !ReadCustomer(CurrentUserId())) {
        _stzcpy(customer->user_id, CurrentUserId(), sizeof customer->user_id);
        customer->created_day = static_cast<uint32_t>(_cofdat(_today()));
    } else if (!verified) {
        std::memset(customer, 0, kCustomerRecordSize);
    }

    for (const CustomerField &field : kCustomerFieldTable)
        _stzcpy(FieldOf(customer, field), GetParam(field.name), field.width);
    for (const CustomerField &field : kCustomerFieldTable) {
        if (field.billing < 0 || FieldOf(customer, field)[0] != '\0') continue;
        _stzcpy(FieldOf(customer, field), FieldOf(customer, kCustomerFieldTable[field.billing]), field.width);
    }
    if (!RequiredFieldsFilled(customer)) {
        Error(_getMsgBlk(29));
        return;
    }

    if (destination == Destination::Checkout) {
        if (CurrentOrder() == nullptr) {
            Error(_getMsgBlk(45));
            return;
        }
        std::memcpy(&CurrentOrder()->customer, customer, kCustomerRecordSize);
        CurrentOrder()->priced = 0;
    }
    // The details were typed for nothing if they are not kept: a user who asked to keep them
    // is told, and a checkout goes on with the order's copy.
    if (verified && !WriteCustomer(CurrentUserId())) {
        TraceLine("Unable to save customer information of %s", CurrentUserId());
        if (destination == Destination::SaveDetails) {
            Error("Unable to save your customer information. Please try again later.");
            return;
        }
    }

    if (destination == Destination::SaveDetails) RunScript("INFOSAVE.HTM", &table, "kvzsvw\\", WebOut);
    else ShippingChoicePage(&table);
}
