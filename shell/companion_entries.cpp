// Loading the companion libraries and finding their entries.
#include "shell/companion_entries.h"

#include "shell/module.h"

int16_t MallDisabled = 0;
MallVars Mall;

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

bool LoadCompanions() {
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
        return false;
    }
    pPosAvl = Lookup<PosAvlFn>(PosLibrary, "_pos_avl");
    pCardNumCheck = Lookup<CardNumCheckFn>(PosLibrary, "_card_num_check");
    pCheckExpiration = Lookup<CheckExpirationFn>(PosLibrary, "_check_expiration");
    pCardTypeCheck = Lookup<CardTypeCheckFn>(PosLibrary, "_card_type_check");
    pBadCardCheck = Lookup<BadCardCheckFn>(PosLibrary, "_bad_card_check");
    if (pPosAvl == nullptr) {
        _shocst(ModuleVersion, "Unable to locate functions for KVZPOS.DLL");
        return false;
    }

    MallLibrary = LoadLibraryA("KVZSVALL");
    if (MallLibrary == nullptr) {
        _shocst(ModuleVersion, "Unable to access Shopvera");
        return false;
    }
    pGetVars = Lookup<GetVarsFn>(MallLibrary, "_GetVars");
    pStrip2Addr = Lookup<Strip2AddrFn>(MallLibrary, "_Strip2Addr");
    pStrip2Zip = Lookup<Strip2ZipFn>(MallLibrary, "_Strip2Zip");
    pSubmitOrder = Lookup<SubmitOrderFn>(MallLibrary, "_SubmitOrder");
    if (pGetVars == nullptr) {
        _shocst(ModuleVersion, "Unable to locate functions for KVZSVALL.DLL");
        return false;
    }

    pGetVars(&Mall);
    if (Mall.version != kMallDataVersion) {
        _shocst(ModuleVersion, "Shopvera Version error %d %d", Mall.version, kMallDataVersion);
        MallDisabled = 1;
        return false;
    }
    return true;
}

void FreeCompanions() {
    if (PosLibrary != nullptr) FreeLibrary(PosLibrary);
    if (MallLibrary != nullptr) FreeLibrary(MallLibrary);
    PosLibrary = MallLibrary = nullptr;
}
