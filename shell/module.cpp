// Start-up, deferred loading of the companion libraries, shutdown and the trace line.
#include "shell/module.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

#include "orders/slots.h"
#include "shell/filecache.h"
#include "web/params.h"
#include "web/request.h"
#include "web/spool.h"

const char ModuleVersion[] = "KVZSVW: V1.00.00 HS30 NT";

int16_t ModuleNumber = 0;
HostMessageBlock *MessageBlock = nullptr;

char *OptRootHtm, *OptMallName, *OptEmailSuffix, *OptImagePrefix, *OptInfoText, *OptNoInfoText,
    *OptEmailPrefix, *OptMallKey, *OptOrderSlots;
int OptProdPageSize, OptDeptPageSize, OptStorePageSize;
HostBool OptOpenAccess;
int OptIdleTimeout;

int16_t MallDisabled = 0;
MallVars Mall;

void (*PrevRequestHandler)(char *url) = nullptr;
int (*PrevHeaderParser)(char *line) = nullptr;

char *ProductBuffer, *StoreBuffer, *DeptBuffer, *FormatBuffer, *CustomerBuffer, *ExtStoreBuffer,
    *OrderBuffer;

namespace {

// The routines the companion entries point at until the real ones are found: each does
// nothing and reports 0.
int16_t NoGetVars(MallVars *) { return 0; }
char *NoStrip(char *text) { return text; }
int16_t NoSubmitOrder(const char *, int32_t) { return 0; }
int16_t NoPosAvl() { return 0; }
int16_t NoCardCheck(const char *) { return 0; }
int16_t NoBadCardCheck(const char *, const char *, int16_t) { return 0; }
int16_t NoCardTypeCheck(const char *, int16_t) { return 0; }

void *PosLibrary = nullptr;
void *MallLibrary = nullptr;

HostModule Registration;

// Routine entry 2 of the registration record: input for the module outside the web is ignored.
int NoInput() { return 0; }

void StatusEntry() { svwStatus(); }

template <typename Fn>
Fn Lookup(void *library, const char *name) {
    return reinterpret_cast<Fn>(GetProcAddress(library, name));
}

}  // namespace

GetVarsFn pGetVars = NoGetVars;
Strip2AddrFn pStrip2Addr = NoStrip;
Strip2ZipFn pStrip2Zip = NoStrip;
SubmitOrderFn pSubmitOrder = NoSubmitOrder;
PosAvlFn pPosAvl = NoPosAvl;
CardNumCheckFn pCardNumCheck = NoCardCheck;
BadCardCheckFn pBadCardCheck = NoBadCardCheck;
CardTypeCheckFn pCardTypeCheck = NoCardTypeCheck;
CheckExpirationFn pCheckExpiration = NoCardCheck;

void TraceLine(const char *format, ...) {
    static char line[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line - 1, format, ap);
    va_end(ap);
    // A longer line is cut so that the line end still fits.
    size_t used = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof line - 1 ? static_cast<size_t>(n) : sizeof line - 2);
    line[used] = '\n';
    line[used + 1] = '\0';
    OutputDebugStringA(line);
}

MODULE_EXPORT void _init__kvzsvw(void) {
    _stzcpy(Registration.description, _gmdnam("kvzsvw.mdf"), sizeof Registration.description);
    Registration.input = NoInput;
    Registration.status = StatusEntry;
    Registration.shutdown = ShutdownSV;
    ModuleNumber = _register_module(&Registration);

    MessageBlock = _opnmsg("kvzsvw.mcv");
    _setmbk(MessageBlock);

    OptRootHtm = _stgopt(8);
    OptMallName = _stgopt(11);
    OptEmailSuffix = _stgopt(10);
    OptImagePrefix = _stgopt(9);
    OptInfoText = _stgopt(15);
    OptNoInfoText = _stgopt(16);
    OptEmailPrefix = _stgopt(17);
    OptMallKey = _stgopt(3);
    OptProdPageSize = _numopt(14, 2, 15);
    OptDeptPageSize = _numopt(13, 2, 25);
    OptStorePageSize = _numopt(12, 2, 25);
    OptOpenAccess = _ynopt(2);
    OptIdleTimeout = _numopt(7, 0, 2047) * 16;

    _init__webd();
    // Templates, pictures and shipping files are looked up in memory from now on.
    EnableFileCache();
    mkdir("KVZSVTMP", 0755);  // an existing directory is fine
    TraceLine("Shopvera Web Initialized");
    _rtkick(2, LoadSV);
    _rtkick(2, CheckUsers);

    // Option 18: the number of order slots; absent or empty, the classic 50.
    OptOrderSlots = _stgopt(18);
    const char *slots = OptOrderSlots;
    while (*slots == ' ' || *slots == '\t') ++slots;
    ClearOrderSlots(*slots != '\0' ? _numopt(18, kOrderSlotsClassic, kOrderSlotsMost) : kOrderSlotsClassic);

    ProductBuffer = static_cast<char *>(_alcmem(kProductBufferSize));
    StoreBuffer = static_cast<char *>(_alcmem(kStoreBufferSize));
    DeptBuffer = static_cast<char *>(_alcmem(kDeptBufferSize));
    FormatBuffer = static_cast<char *>(_alcmem(kFormatBufferSize));
    CustomerBuffer = static_cast<char *>(_alcmem(kCustomerBufferSize));
    ExtStoreBuffer = static_cast<char *>(_alcmem(kExtStoreBufferSize));
    OrderBuffer = static_cast<char *>(_alcmem(kOrderBufferSize));

    ClearAuthorizations();
}

MODULE_EXPORT void LoadSV(void) {
    pGetVars = NoGetVars;
    pStrip2Addr = NoStrip;
    pStrip2Zip = NoStrip;
    pSubmitOrder = NoSubmitOrder;
    pPosAvl = NoPosAvl;
    pCardNumCheck = NoCardCheck;
    pBadCardCheck = NoBadCardCheck;
    pCardTypeCheck = NoCardTypeCheck;
    pCheckExpiration = NoCardCheck;

    PosLibrary = LoadLibraryA("KVZPOS");
    if (PosLibrary == nullptr) {
        _shocst(ModuleVersion, "Unable to access POS Dial");
        return;
    }
    pPosAvl = Lookup<PosAvlFn>(PosLibrary, "_pos_avl");
    pCardNumCheck = Lookup<CardNumCheckFn>(PosLibrary, "_card_num_check");
    pCheckExpiration = Lookup<CheckExpirationFn>(PosLibrary, "_check_expiration");
    pCardTypeCheck = Lookup<CardTypeCheckFn>(PosLibrary, "_card_type_check");
    pBadCardCheck = Lookup<BadCardCheckFn>(PosLibrary, "_bad_card_check");
    if (pPosAvl == nullptr) {
        _shocst(ModuleVersion, "Unable to locate functions for KVZPOS.DLL");
        return;
    }

    MallLibrary = LoadLibraryA("KVZSVALL");
    if (MallLibrary == nullptr) {
        _shocst(ModuleVersion, "Unable to access Shopvera");
        return;
    }
    pGetVars = Lookup<GetVarsFn>(MallLibrary, "_GetVars");
    pStrip2Addr = Lookup<Strip2AddrFn>(MallLibrary, "_Strip2Addr");
    pStrip2Zip = Lookup<Strip2ZipFn>(MallLibrary, "_Strip2Zip");
    pSubmitOrder = Lookup<SubmitOrderFn>(MallLibrary, "_SubmitOrder");
    if (pGetVars == nullptr) {
        _shocst(ModuleVersion, "Unable to locate functions for KVZSVALL.DLL");
        return;
    }

    pGetVars(&Mall);
    if (Mall.version != kMallDataVersion) {
        _shocst(ModuleVersion, "Shopvera Version error %d %d", Mall.version, kMallDataVersion);
        MallDisabled = 1;
        return;
    }

    PrevRequestHandler = _hdlwebreq;
    _hdlwebreq = kvzsvwreq;
    PrevHeaderParser = _prshdrlin;
    _prshdrlin = kvzsvwparse;

    _shocst(ModuleVersion, "Web Shopvera Loaded");
    TraceLine("%s Web Shopvera Loaded", ModuleVersion);
}

void ShutdownSV(void) {
    FreeOrderSlots();
    _clsmsg(MessageBlock);
    MessageBlock = nullptr;
    if (PosLibrary != nullptr) FreeLibrary(PosLibrary);
    if (MallLibrary != nullptr) FreeLibrary(MallLibrary);
    PosLibrary = MallLibrary = nullptr;
    TraceLine("%s Shutdown", ModuleVersion);
}
