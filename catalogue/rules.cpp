// The shared catalogue rules, record look-ups, image locators and catalogue texts.
// The store file's records differ in length; everything read from it by key lands in a buffer
// of its longest record first, since a look-up may find a longer record than the one wanted.
#include "catalogue/rules.h"

#include <cstring>
#include <initializer_list>

#include "shell/buffers.h"
#include "shell/companion_entries.h"
#include "shell/numbers.h"
#include "shell/options.h"
#include "shell/paths.h"
#include "template/stable.h"
#include "web/params.h"
#include "web/request.h"

namespace {

constexpr int kImageUrlSize = 256;
constexpr int kImagePathSize = 512;
constexpr int kEmailSize = 128;

void Terminate(char *field, size_t width) { field[width - 1] = '\0'; }

// A file counts as present when it exists and can be read.
bool Present(const char *path) { return ModuleFileReadable(path); }

// One look-up in the store file into out (size bytes of it); out is untouched when nothing
// is found.
bool ReadStoreFile(void *out, size_t size, const void *key, int keynum) {
    char record[kStoreFileRecordSize] = {};
    _dfaSetBlk(Mall.store_file);
    bool found = _dfaAcqLock(record, key, keynum, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (found) std::memcpy(out, record, size);
    return found;
}

// The mall's background picture in directory (the prefix's KVZSV or a store's directory in
// it): the jpg when there is one, else the gif.
char *LocateBackground(char *url, const char *directory, const char *url_directory) {
    for (const char *kind : {"jpg", "gif"}) {
        char path[kImagePathSize];
        if (JoinTexts(path, sizeof path, {OptionText(OptImagePrefix), directory, "KVZSVBKG.", kind}) &&
            Present(path) && JoinTexts(url, kImageUrlSize, {url_directory, "KVZSVBKG.", kind}))
            return url;
    }
    url[0] = '\0';
    return url;
}

}  // namespace

// ---- records --------------------------------------------------------------------------------

void TerminateTexts(StoreRecord *store) {
    Terminate(store->store_id, sizeof store->store_id);
    Terminate(store->dept_id, sizeof store->dept_id);
    Terminate(store->name, sizeof store->name);
    Terminate(store->mail_user, sizeof store->mail_user);
    Terminate(store->access_key, sizeof store->access_key);
    Terminate(store->icon, sizeof store->icon);
    Terminate(store->po_key, sizeof store->po_key);
    Terminate(store->description, sizeof store->description);
}

void TerminateTexts(DepartmentRecord *dept) {
    Terminate(dept->store_id, sizeof dept->store_id);
    Terminate(dept->dept_id, sizeof dept->dept_id);
    Terminate(dept->name, sizeof dept->name);
    Terminate(dept->icon, sizeof dept->icon);
    Terminate(dept->description, sizeof dept->description);
}

void TerminateTexts(ExtendedStoreRecord *ext) {
    Terminate(ext->store_id, sizeof ext->store_id);
    Terminate(ext->dept_id, sizeof ext->dept_id);
    Terminate(ext->manager, sizeof ext->manager);
    Terminate(ext->address, sizeof ext->address);
    Terminate(ext->city_state_zip, sizeof ext->city_state_zip);
    Terminate(ext->country, sizeof ext->country);
    Terminate(ext->phone, sizeof ext->phone);
    Terminate(ext->fax, sizeof ext->fax);
    Terminate(ext->weight_format, sizeof ext->weight_format);
    for (int i = 0; i < kQuestions; ++i) Terminate(ext->questions[i], kQuestionSize);
}

void TerminateTexts(ProductRecord *product) {
    Terminate(product->store_id, sizeof product->store_id);
    Terminate(product->dept_id, sizeof product->dept_id);
    Terminate(product->product_id, sizeof product->product_id);
    Terminate(product->name, sizeof product->name);
    Terminate(product->description, sizeof product->description);
    Terminate(product->member_key, sizeof product->member_key);
    Terminate(product->tax_exempt_key, sizeof product->tax_exempt_key);
    Terminate(product->download, sizeof product->download);
    for (int i = 0; i < kPictures; ++i) Terminate(product->pictures[i], sizeof product->pictures[i]);
    Terminate(product->abstract, sizeof product->abstract);
    Terminate(product->sound, sizeof product->sound);
    Terminate(product->format1, sizeof product->format1);
    Terminate(product->format2, sizeof product->format2);
}

void TerminateTexts(FormatRecord *format) {
    Terminate(format->store_id, sizeof format->store_id);
    Terminate(format->name, sizeof format->name);
    for (int i = 0; i < kFormatChoices; ++i) Terminate(format->choices[i], kFormatChoiceSize);
}

void TerminateTexts(KeywordRecord *hit) {
    Terminate(hit->store_id, sizeof hit->store_id);
    Terminate(hit->dept_id, sizeof hit->dept_id);
    Terminate(hit->keyword, sizeof hit->keyword);
    Terminate(hit->product_id, sizeof hit->product_id);
}

char *TakeParam(char *out, int size, const char *name) {
    return _stzcpy(out, GetParam(name), size);
}

StoreKey0 MakeStoreKey0(uint8_t record_type, const char *store_id) {
    StoreKey0 key{};
    key.record_type = record_type;
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    return key;
}

StoreKey1 MakeStoreKey1(uint8_t record_type, const char *store_id, const char *dept_id) {
    StoreKey1 key{};
    key.record_type = record_type;
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    _stlcpy(key.dept_id, dept_id, sizeof key.dept_id);
    return key;
}

ProductKey1 MakeProductKey1(const char *store_id, const char *dept_id, const char *product_id) {
    ProductKey1 key{};
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    _stlcpy(key.dept_id, dept_id, sizeof key.dept_id);
    _stlcpy(key.product_id, product_id, sizeof key.product_id);
    return key;
}

StoreRecord *ReadStore(const char *store_id) {
    StoreKey0 key = MakeStoreKey0(kRecordStore, store_id);
    if (!ReadStoreFile(StoreBuffer, kStoreRecordSize, &key, kStoreFileKeyType)) return nullptr;
    TerminateTexts(StoreRec());
    return StoreRec();
}

ExtendedStoreRecord *ReadExtStore(const char *store_id) {
    StoreKey0 key = MakeStoreKey0(kRecordExtended, store_id);
    if (!ReadStoreFile(ExtStoreBuffer, kExtendedStoreRecordSize, &key, kStoreFileKeyType))
        return nullptr;
    TerminateTexts(ExtStoreRec());
    return ExtStoreRec();
}

DepartmentRecord *ReadDepartment(const char *store_id, const char *dept_id) {
    StoreKey1 key = MakeStoreKey1(kRecordDepartment, store_id, dept_id);
    if (!ReadStoreFile(DeptBuffer, kDepartmentRecordSize, &key, kStoreFileKeyDept)) return nullptr;
    TerminateTexts(DeptRec());
    return DeptRec();
}

ProductRecord *ReadProduct(const char *store_id, const char *dept_id, const char *product_id) {
    ProductKey1 key = MakeProductKey1(store_id, dept_id, product_id);
    _dfaSetBlk(Mall.product_file);
    bool found = _dfaAcqLock(ProductBuffer, &key, kProductKeyDept, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (!found) return nullptr;
    TerminateTexts(ProductRec());
    return ProductRec();
}

FormatRecord *ReadFormat(const char *store_id, const char *format_name) {
    FormatKey1 key{};
    _stlcpy(key.store_id, store_id, sizeof key.store_id);
    _stlcpy(key.name, format_name, sizeof key.name);
    _dfaSetBlk(Mall.format_file);
    bool found = _dfaAcqLock(FormatBuffer, &key, kFormatKeyName, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (!found) return nullptr;
    TerminateTexts(FormatRec());
    return FormatRec();
}

// ---- page rules -----------------------------------------------------------------------------

void SetMallEntries(STable *table) {
    table->Set("roothtm", OptionText(OptRootHtm));
    table->Set("MALLNAME", OptionText(OptMallName));
    table->Set("MALLIMAGE", GetMallImage());
    SetCurrency(table);
}

void SetStoreEntries(STable *table, const StoreRecord *store, const char *background_id) {
    table->Set("STORENAME", store->name);
    table->Set("STOREMAIL", MakeEmail(store->mail_user));
    table->Set("STOREBKG", GetStoreBkg(background_id));
}

void SetCurrency(STable *table) {
    // An installation whose message file has no currency shows bare amounts, and no trace line
    // complains about it.
    const char *currency = _fndmsg(kCurrencyMessage);
    table->Set("CURRENCY", currency != nullptr ? currency : "");
}

void SetSection(STable *table, const char *open, const char *close, bool shown) {
    table->Set(open, shown ? "" : "<!--");
    table->Set(close, shown ? "" : "-->");
}

int16_t CanSeeStore(const StoreRecord *store, int16_t report) {
    return CanAccess(store->access_key, report);
}

bool ProductAvailable(const ProductRecord *product) {
    uint16_t flags = product->flags;
    int32_t stock = product->stock;
    return !((flags & kProductCountStock) && !(flags & kProductBackOrder) && stock <= 0);
}

float ProductPrice(const ProductRecord *product) {
    uint16_t flags = product->flags;
    if ((flags & kProductMemberPrice) && SmartKey(product->member_key)) return product->member_price;
    return product->price;
}

char *PlusId(const char *product_id) {
    static char text[kProductIdSize];
    return _strrpl(_stzcpy(text, product_id, sizeof text), ' ', '+');
}

char *SlashPath(const char *reference) {
    static char text[sizeof ProductRecord::abstract];
    return _strrpl(_stzcpy(text, reference, sizeof text), '\\', '/');
}

void DecreaseLastChar(char *id) {
    size_t length = std::strlen(id);
    if (length > 0) id[length - 1] = static_cast<char>(id[length - 1] - 1);
}

void SetNextPageLink(STable *table, bool more, const char *next_id) {
    SetSection(table, "C1", "C2", more);
    if (!more) return;
    char next[kProductIdSize];
    _stzcpy(next, next_id, sizeof next);
    DecreaseLastChar(next);
    table->Set("LAST", next);
}

// ---- image locators -------------------------------------------------------------------------
// Store and department identifiers and icon names come from records, but they are still put
// into a path below the web root, so a part that could climb out of its directory counts as a
// missing file, and so does a path that does not fit its buffer (a cut name could be another
// file's).

MODULE_EXPORT char *GetMallImage(void) {
    static char url[kImageUrlSize];
    return LocateBackground(url, "KVZSV\\", "KVZSV/");
}

MODULE_EXPORT char *GetStoreBkg(const char *store_id) {
    static char url[kImageUrlSize];
    char directory[kImagePathSize], url_directory[kImagePathSize];
    url[0] = '\0';
    if (!IsSafePathPart(store_id) ||
        !JoinTexts(directory, sizeof directory, {"KVZSV\\", store_id, "\\"}) ||
        !JoinTexts(url_directory, sizeof url_directory, {"KVZSV/", store_id, "/"}))
        return url;
    return LocateBackground(url, directory, url_directory);
}

MODULE_EXPORT char *GetStoreIcon(const char *store_id, const char *icon) {
    static char url[kImageUrlSize];
    char path[kImagePathSize];
    if (IsSafePathPart(store_id) && IsSafePathPart(icon) &&
        JoinTexts(path, sizeof path, {OptionText(OptImagePrefix), "KVZSV\\", store_id, "\\", icon}) &&
        Present(path) && JoinTexts(url, sizeof url, {"KVZSV/", store_id, "/", icon}))
        return url;
    url[0] = '\0';
    return url;
}

MODULE_EXPORT char *GetDeptIcon(const char *store_id, const char *dept_id, const char *icon) {
    static char url[kImageUrlSize];
    char path[kImagePathSize];
    if (IsSafePathPart(store_id) && IsSafePathPart(dept_id) && IsSafePathPart(icon) &&
        JoinTexts(path, sizeof path,
               {OptionText(OptImagePrefix), "KVZSV\\", store_id, "\\", dept_id, "\\", icon}) &&
        Present(path) && JoinTexts(url, sizeof url, {"KVZSV/", store_id, "/", dept_id, "/", icon}))
        return url;
    url[0] = '\0';
    return url;
}

// ---- catalogue texts ------------------------------------------------------------------------

char *FormatText(const char *store_id, const char *format_name, int choice) {
    static char text[kFormatChoiceSize];
    text[0] = '\0';
    // An order item without a choice carries -1; only the six choices are texts of the record.
    if (choice < 0 || choice >= kFormatChoices) return text;
    if (const FormatRecord *format = ReadFormat(store_id, format_name))
        _stzcpy(text, format->choices[choice], sizeof text);
    return text;
}

const char *ChoiceText(const char *store_id, const char *format_name, int choice) {
    return choice == -1 ? "-" : FormatText(store_id, format_name, choice);
}

MODULE_EXPORT char *MakeEmail(const char *userid) {
    static char address[kEmailSize];
    const char *alias = _alsofusr != nullptr ? _alsofusr(userid) : userid;
    _stzcpy(address, alias, sizeof address);
    _stzcat(address, OptionText(OptEmailSuffix), sizeof address);
    return address;
}

bool ProductEntries(const KeywordRecord *hit, STable *table) {
    char store_id[kStoreIdSize], dept_id[kDeptIdSize], product_id[kProductIdSize];
    _stzcpy(store_id, hit->store_id, sizeof store_id);
    _stzcpy(dept_id, hit->dept_id, sizeof dept_id);
    _stzcpy(product_id, hit->product_id, sizeof product_id);

    const StoreRecord *store = ReadStore(store_id);
    if (store == nullptr || !CanSeeStore(store, 0)) {
        std::memset(ProductBuffer, 0, kProductRecordSize);
        return false;
    }
    // A missing product still sets the entries, from the zeroed buffer.
    const ProductRecord *product = ReadProduct(store_id, dept_id, product_id);
    const bool shown = product != nullptr;
    if (!shown) {
        std::memset(ProductBuffer, 0, kProductRecordSize);
        product = ProductRec();
    }
    if (!ProductAvailable(product)) {
        std::memset(ProductBuffer, 0, kProductRecordSize);
        return false;
    }
    table->Set("STOREID", product->store_id);
    table->Set("DEPTID", product->dept_id);
    table->Set("PRODID", PlusId(product->product_id));
    table->Set("PRODNAME", product->name);
    table->Set("PRODDESC", product->description);
    table->SetFloat("PRODPRICE", product->price);
    int32_t kind = product->info_kind;
    table->Set("INFO", OptionText(kind > 0 ? OptInfoText : OptNoInfoText));
    return shown;
}
