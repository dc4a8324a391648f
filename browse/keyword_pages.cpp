// Keyword search: the search form that fits what the shopper is looking at ("keyword") and one
// page of results ("ksearch"), in the whole mall, one store or one department.
//
// The keyword file ties each keyword to one product. A page hands the physical position of the
// last record it handled to the next one, so a page never reads the records of earlier pages.
#include <cctype>
#include <climits>
#include <cstdlib>
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

namespace {

const char *const kSearchTypes[] = {"SM", "SS", "SD"};  // by key number of the keyword file

// The scope of a search from "SID" and "DID". Pages without a store or department leave their
// tokens unfilled in the links, so "_STOREID_" means the current order's store (none without an
// order) and "_DEPTID_" no department.
void SearchScope(char *store_id, char *dept_id) {
    const char *sid = GetParam("SID");
    if (_sameas(sid, "_STOREID_")) {
        const OrderSlot *order = CurrentOrder();
        sid = order != nullptr ? order->store_id : "";
    }
    _stzcpy(store_id, sid, kStoreIdSize);
    const char *did = GetParam("DID");
    _stzcpy(dept_id, _sameas(did, "_DEPTID_") ? "" : did, kDeptIdSize);
}

void Capitalize(char *text) {
    for (; *text != '\0'; ++text) *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

// "POS" as atol reads it, at its 32 bits: a number beyond them names no record (-1), so the
// page shows nothing rather than some other record.
int32_t Position(const char *text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value < INT32_MIN || value > INT32_MAX) return -1;
    return static_cast<int32_t>(value);
}

// The key number of the search, or -1 when the type is unknown or lacks its store or department.
int SearchType(const char *stype, const char *store_id, const char *dept_id) {
    if (_sameas(stype, "SD") && store_id[0] != '\0' && dept_id[0] != '\0') return kKeywordKeyDept;
    if (_sameas(stype, "SS") && store_id[0] != '\0') return kKeywordKeyStore;
    if (_sameas(stype, "SM")) return kKeywordKeyMall;
    return -1;
}

// The search key of type: its segments one after another in a zeroed buffer of the longest key.
void BuildSearchKey(char *key, int type, const char *store_id, const char *dept_id,
                    const char *keyword) {
    std::memset(key, 0, sizeof(KeywordKey2));
    if (type == kKeywordKeyMall) {
        auto *k = reinterpret_cast<KeywordKey0 *>(key);
        _stlcpy(k->keyword, keyword, sizeof k->keyword);
    } else if (type == kKeywordKeyStore) {
        auto *k = reinterpret_cast<KeywordKey1 *>(key);
        _stlcpy(k->store_id, store_id, sizeof k->store_id);
        _stlcpy(k->keyword, keyword, sizeof k->keyword);
    } else {
        auto *k = reinterpret_cast<KeywordKey2 *>(key);
        _stlcpy(k->store_id, store_id, sizeof k->store_id);
        _stlcpy(k->dept_id, dept_id, sizeof k->dept_id);
        _stlcpy(k->keyword, keyword, sizeof k->keyword);
    }
}

// What a search is for: its key number, store, department and the typed text in capitals.
struct Search {
    int type;
    const char *store_id;
    const char *dept_id;
    const char *keyword;
};

// A record matches when its keyword begins with the typed text and it lies in the store and
// department the search type asks for.
bool Matches(const Search &search, const KeywordRecord *hit) {
    return _sameto(search.keyword, hit->keyword) &&
           (search.type < kKeywordKeyStore || _sameas(hit->store_id, search.store_id)) &&
           (search.type < kKeywordKeyDept || _sameas(hit->dept_id, search.dept_id));
}

// Steps to the next key and reads its record: true when it is one more hit of the search.
bool NextHit(const Search &search, KeywordRecord *hit) {
    if (!_dfaQueryNP(HOST_QUERY_NEXT)) return false;
    if (!_dfaGetAbsLock(hit, _dfaAbs(), search.type, 0)) return false;
    TerminateTexts(hit);
    return Matches(search, hit);
}

}  // namespace

void KeywordFormPage() {
    char store_id[kStoreIdSize], dept_id[kDeptIdSize];
    SearchScope(store_id, dept_id);
    const char *form = store_id[0] != '\0' && dept_id[0] != '\0' ? "SWKSRCH3.htm"
                       : store_id[0] != '\0'                     ? "SWKSRCH2.htm"
                                                                 : "SWKSRCH1.htm";
    STable table;
    SetCommonEntries(&table);
    table.Set("DEPTID", HtmlEscape(dept_id));
    table.Set("PRODID", HtmlEscape(GetParam("PID")));
    table.Set("STOREID", HtmlEscape(store_id));
    CParse parse(form, &table, "kvzsvw\\", WebOut, store_id);
    parse.Parse();
}

MODULE_EXPORT void KeySearchResults(void) {
    char store_id[kStoreIdSize], dept_id[kDeptIdSize], stype[3], keyword[kKeywordSize];
    SearchScope(store_id, dept_id);
    Capitalize(store_id);
    Capitalize(dept_id);
    TakeParam(stype, sizeof stype, "STYPE");
    TakeParam(keyword, sizeof keyword, "KEYWORD");
    int32_t position = Position(GetParam("POS"));

    if (keyword[0] == '\0') {
        Error(_getMsgBlk(35));
        return;
    }
    Capitalize(keyword);
    int type = SearchType(stype, store_id, dept_id);
    if (type < 0) {
        Error(_getMsgBlk(47));
        return;
    }
    char key[sizeof(KeywordKey2)];
    BuildSearchKey(key, type, store_id, dept_id, keyword);
    const Search search{type, store_id, dept_id, keyword};

    STable table;
    table.Set("keyword", HtmlEscape(keyword));
    SetCommonEntries(&table);
    table.Set("DEPTID", HtmlEscape(dept_id));
    table.Set("STOREID", HtmlEscape(store_id));
    CParse parse("SWKEYRES.HTM", &table, "kvzsvw\\", WebOut, store_id);
    parse.Parse();

    TraceLine("Keyword pos:%s type:%d keyword:%s", _l2as(position), type, keyword);

    // Records whose product may not be shown count as hidden; a page ends after a page size of
    // shown or of hidden ones, so a run of hidden records cannot make one request read the
    // whole file.
    KeywordRecord hit;
    int shown = 0, hidden = 0;
    bool started = false;
    _dfaSetBlk(Mall.keyword_file);
    if (position != 0) {
        // The record at position was the last one the previous page handled: go on behind it.
        started = _dfaAcqAbsLock(&hit, position, type, 0);
    } else if (_dfaAcqLock(&hit, key, type, HOST_GET_GREATER_EQUAL, 0)) {
        TerminateTexts(&hit);
        if (Matches(search, &hit)) {
            if (ProductEntries(&hit, &table)) {
                parse.Repeat();
                ++shown;
            }
            position = static_cast<int32_t>(_dfaAbs());
            started = true;
        }
    }
    while (started && shown < OptProdPageSize && hidden < OptProdPageSize) {
        if (!NextHit(search, &hit)) break;
        if (ProductEntries(&hit, &table)) {
            parse.Repeat();
            ++shown;
        } else {
            ++hidden;
        }
        position = static_cast<int32_t>(_dfaAbs());
    }

    table.SetLong("POS", position);
    table.SetLong("CNT", shown);
    table.Set("KEYWORD", HtmlEscape(keyword));
    table.Set("STYPE", kSearchTypes[type]);
    SetSection(&table, "C1", "C2", shown == OptProdPageSize && NextHit(search, &hit));
    _dfaRstBlk();
    parse.Parse();
}
