// The first pages a shopper sees: the mall's stores a page at a time ("storelist") and the
// information page of one store ("storeinfo").
#include <cstring>

#include "browse/pages.h"
#include "catalogue/rules.h"
#include "orders/slots.h"
#include "shell/companion_entries.h"
#include "shell/options.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

// A walk along key 0 from the last store steps onto department records: the walk's buffer
// holds the longest record of the store file.
static_assert(kStoreFileRecordSize >= kDepartmentRecordSize);

void StoreListPage() {
    STable table;
    CParse parse("swstlst.htm", nullptr, "kvzsvw\\", WebOut);
    parse.SetTables(&table, nullptr);

    SetCommonEntries(&table);
    table.Set("STOREID", HtmlEscape(GetParam("SID")));
    table.Set("PRODID", HtmlEscape(GetParam("PRODID")));
    table.Set("DEPTID", HtmlEscape(GetParam("DID")));
    parse.Parse();

    char last[kStoreIdSize];
    StoreKey0 key = MakeStoreKey0(kRecordStore, TakeParam(last, sizeof last, "LAST"));
    char record[kStoreFileRecordSize];
    StoreRecord *store = reinterpret_cast<StoreRecord *>(record);
    _dfaSetBlk(Mall.store_file);

    // A store the shopper may not see still uses up its place, so a page may show fewer rows
    // than the page size; the next page goes on behind the last store read either way.
    int count = 0;
    while (count < OptStorePageSize) {
        if (!_dfaAcqLock(record, &key, kStoreFileKeyType, HOST_GET_GREATER, 0)) break;
        if (store->record_type != kRecordStore) break;
        TerminateTexts(store);
        if (CanSeeStore(store, 0)) {
            table.Set("STOREID", store->store_id);
            table.Set("STORENAME", store->name);
            table.Set("STOREMAIL", MakeEmail(store->mail_user));
            table.Set("STOREDESC", store->description);
            table.Set("STOREICON", GetStoreIcon(store->store_id, store->icon));
            parse.Repeat();
        }
        // Without open access CanAccess only refuses silently when a user is verified; with no
        // user it has asked the host for a logon, and nothing of this page will be sent.
        if (ResponseGiven) break;
        _stlcpy(key.store_id, store->store_id, sizeof key.store_id);
        ++count;
    }

    bool more = count == OptStorePageSize &&
                _dfaAcqLock(record, &key, kStoreFileKeyType, HOST_GET_GREATER, 0) &&
                store->record_type == kRecordStore;
    SetNextPageLink(&table, more, store->store_id);
    _dfaRstBlk();
    parse.Parse();
}

void StoreInfoPage() {
    STable table;
    SetCommonEntries(&table);

    char sid[kStoreIdSize];
    TakeParam(sid, sizeof sid, "SID");
    CParse parse("swstinfo.htm", &table, "kvzsvw\\", WebOut, sid);

    const StoreRecord *store = ReadStore(sid);
    if (store == nullptr) {
        Error(_getMsgBlk(46));
        return;
    }
    // A shopper who may not see the store still gets the page, without the store's own texts.
    if (CanSeeStore(store, 0)) {
        table.Set("STOREID", store->store_id);
        SetStoreEntries(&table, store, store->store_id);
        table.Set("STOREDESC", store->description);
    }
    if (const ExtendedStoreRecord *ext = ReadExtStore(sid)) {
        table.Set("STORECSZ", ext->city_state_zip);
        table.Set("STOREMANAGER", ext->manager);
        table.Set("STORECOUNTRY", ext->country);
        table.Set("STOREADDR", ext->address);
        table.Set("STOREPHONE", ext->phone);
        table.Set("STOREFAX", ext->fax);
    }
    table.Set("PRODID", HtmlEscape(GetParam("PID")));
    table.Set("DEPTID", HtmlEscape(GetParam("DID")));
    parse.Parse();
}
