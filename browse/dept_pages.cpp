// Inside a store: its departments a page at a time ("deptlist") and the products of one
// department a page at a time ("prodlist").
#include <cstring>

#include "browse/pages.h"
#include "catalogue/rules.h"
#include "orders/slots.h"
#include "shell/buffers.h"
#include "shell/companion_entries.h"
#include "shell/options.h"
#include "template/cparse.h"
#include "template/stable.h"
#include "web/escape.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

// The department walk reads the store file by key into the department buffer.
static_assert(kDeptBufferSize >= kStoreFileRecordSize);

namespace {

// The opening both lists share: the store named by "SID", which the shopper must be allowed to
// see. False when the page has ended here with the error page or a logon request.
const StoreRecord *OpenStore(STable *table, const char *sid) {
    table->Set("STOREID", HtmlEscape(sid));
    const StoreRecord *store = ReadStore(sid);
    if (store == nullptr) {
        Error(_getMsgBlk(46));
        return nullptr;
    }
    if (!CanSeeStore(store, 1)) return nullptr;
    SetStoreEntries(table, store, store->store_id);
    return store;
}

// Reads the department after key into the department buffer: true while it is a listed
// department of store_id. Key 1 puts the extended store records (type 3) right behind the last
// store's departments, so the record type ends the walk too, or that store would list its
// extended record as one more department.
bool NextDepartment(const StoreKey1 *key, const char *store_id) {
    if (!_dfaAcqLock(DeptBuffer, key, kStoreFileKeyDept, HOST_GET_GREATER, 0)) return false;
    DepartmentRecord *dept = DeptRec();
    if (dept->record_type != kRecordDepartment) return false;
    TerminateTexts(dept);
    return _sameas(dept->store_id, store_id) && std::strcmp(dept->dept_id, kReservedDeptId) != 0;
}

// Reads the product at the current position of the product file into the product buffer; the
// record, or nullptr.
const ProductRecord *ReadProductHere() {
    if (!_dfaGetAbsLock(ProductBuffer, _dfaAbs(), kProductKeyDept, 0)) return nullptr;
    TerminateTexts(ProductRec());
    return ProductRec();
}

bool InDepartment(const ProductRecord *product, const char *store_id, const char *dept_id) {
    return _sameas(product->store_id, store_id) && _sameas(product->dept_id, dept_id);
}

}  // namespace

void DeptListPage() {
    STable table;
    SetCommonEntries(&table);
    char sid[kStoreIdSize];
    TakeParam(sid, sizeof sid, "SID");
    CParse parse("swdptlst.htm", &table, "kvzsvw\\", WebOut, sid);
    const StoreRecord *store = OpenStore(&table, sid);
    if (store == nullptr) return;

    char store_id[kStoreIdSize];
    _stzcpy(store_id, store->store_id, sizeof store_id);
    table.Set("PRODID", HtmlEscape(GetParam("PID")));
    table.Set("DEPTID", HtmlEscape(GetParam("DID")));
    parse.Parse();

    char last[kDeptIdSize];
    StoreKey1 key = MakeStoreKey1(kRecordDepartment, store_id, TakeParam(last, sizeof last, "LAST"));
    const DepartmentRecord *dept = DeptRec();
    _dfaSetBlk(Mall.store_file);

    int count = 0;
    while (count < OptDeptPageSize && NextDepartment(&key, store_id)) {
        table.Set("DEPTNAME", dept->name);
        table.Set("DEPTID", dept->dept_id);
        table.Set("DEPTDESC", dept->description);
        table.Set("DEPTICON", GetDeptIcon(store_id, dept->dept_id, dept->icon));
        parse.Repeat();
        _stlcpy(key.dept_id, dept->dept_id, sizeof key.dept_id);
        ++count;
    }

    bool more = count == OptDeptPageSize && NextDepartment(&key, store_id);
    SetNextPageLink(&table, more, dept->dept_id);
    _dfaRstBlk();
    parse.Parse();
}

void ProdListPage() {
    STable table;
    SetCommonEntries(&table);
    char sid[kStoreIdSize];
    TakeParam(sid, sizeof sid, "SID");
    CParse parse("swprdlst.htm", &table, "kvzsvw\\", WebOut, sid);
    const StoreRecord *store = OpenStore(&table, sid);
    if (store == nullptr) return;

    char store_id[kStoreIdSize], did[kDeptIdSize];
    _stzcpy(store_id, store->store_id, sizeof store_id);
    TakeParam(did, sizeof did, "DID");
    const DepartmentRecord *dept = ReadDepartment(store_id, did);
    if (dept == nullptr) {
        Error(_getMsgBlk(32));
        return;
    }
    table.Set("DEPTNAME", dept->name);
    table.Set("DEPTICON", GetDeptIcon(store_id, dept->dept_id, dept->icon));
    table.Set("DEPTID", dept->dept_id);
    parse.Parse();

    char last[kProductIdSize];
    ProductKey1 key = MakeProductKey1(store_id, did, TakeParam(last, sizeof last, "LAST"));
    const ProductRecord *product = nullptr;
    _dfaSetBlk(Mall.product_file);
    TraceLine("Req %s:%s:%s", key.store_id, key.dept_id, key.product_id);

    // Unavailable products are skipped without using up a place. The next page starts at the
    // following product itself ("greater or equal"), not one below it.
    int count = 0;
    bool at = _dfaQuery(&key, kProductKeyDept, HOST_QUERY_GREATER_EQUAL);
    while (at && (product = ReadProductHere()) != nullptr) {
        if (!InDepartment(product, store_id, did)) {
            TraceLine("Fail %s:%s:%s", product->store_id, product->dept_id, product->product_id);
            break;
        }
        if (ProductAvailable(product)) {
            table.Set("PRODID", PlusId(product->product_id));
            table.Set("PRODNAME", product->name);
            table.Set("PRODDESC", product->description);
            table.SetFloat("PRODPRICE", ProductPrice(product));
            int32_t kind = product->info_kind;
            table.Set("INFO", kind > 0 ? OptInfoText : OptNoInfoText);
            parse.Repeat();
            if (++count == OptProdPageSize) break;
        }
        at = _dfaQueryNP(HOST_QUERY_NEXT);
    }

    bool more = count == OptProdPageSize && _dfaQueryNP(HOST_QUERY_NEXT) &&
                (product = ReadProductHere()) != nullptr && InDepartment(product, store_id, did);
    SetSection(&table, "C1", "C2", more);
    if (more) table.Set("LAST", PlusId(product->product_id));
    _dfaRstBlk();
    parse.Parse();
}
