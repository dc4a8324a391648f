// The mall library's hand-over to the module (_GetVars: the data files and the mall's settings)
// and its acceptance of submitted orders (_SubmitOrder).
#include <cstring>
#include <deque>
#include <string>
#include <type_traits>

#include "companions/mall/config.h"
#include "companions/mall/files.h"
#include "companions/mall/submit.h"
#include "shell/companions.h"
#include "shell/host.h"

#define MALL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr char kAuditSummary[] = "KVZSVALL";

// Orders are accepted only once _GetVars has read a sound mall.cfg that allows them.
bool g_accept_orders = false;

// The option texts handed out through MallVars. A deque never moves what it holds, so texts
// handed out by an earlier _GetVars stay valid for the library's life.
std::deque<std::string> g_texts;

const char *KeepText(const std::string &text) {
    if (text.empty()) return "";
    g_texts.push_back(text);
    return g_texts.back().c_str();
}

const char *FileName(MallFile which) {
    static std::string name;
    const MallFileDef &def = MallFileDefinition(which);
    name = std::string(def.database) + " table " + def.table;
    return name.c_str();
}

int16_t GetVars(MallVars *vars) {
    std::memset(vars, 0, sizeof *vars);
    for (const char *&text : vars->option_text) text = "";
    g_accept_orders = false;

    // A version of 0 tells the module the mall cannot be used, so it never hooks itself in.
    bool usable = true;
    if (!OpenMallFiles(vars)) {
        const HostFile handles[kMallFiles] = {vars->store_file,    vars->product_file,
                                              vars->format_file,   vars->customer_file,
                                              vars->order_file,    vars->keyword_file};
        for (int i = 0; i < kMallFiles; ++i)
            if (handles[i] < 0)
                _shocst(kAuditSummary, "Unable to open data file %s", FileName(static_cast<MallFile>(i)));
        usable = false;
    }

    MallConfig config;
    std::string error;
    if (!ReadMallConfig(kMallConfigFile, &config, &error)) {
        _shocst(kAuditSummary, "%s", error.c_str());
        return 0;
    }
    if (!config.has_data_version) {
        _shocst(kAuditSummary, "%s: data_version missing", kMallConfigFile);
        usable = false;
    }

    vars->max_card_years = config.max_card_years;
    for (int i = 0; i < kMallOptionTexts; ++i) vars->option_text[i] = KeepText(config.option_text[i]);
    if (!usable) return 0;
    vars->version = config.data_version;
    g_accept_orders = config.accept_orders;
    RememberMallVars(*vars);
    return 1;
}

}  // namespace

MALL_EXPORT int16_t _GetVars(MallVars *vars) {
    if (vars == nullptr) return 0;
    try {
        return GetVars(vars);
    } catch (...) {
        // Out of memory while keeping texts: leave the mall unhooked rather than half filled.
        vars->version = 0;
        g_accept_orders = false;
        _shocst(kAuditSummary, "Unable to read %s: out of memory", kMallConfigFile);
        return 0;
    }
}

MALL_EXPORT int16_t _SubmitOrder(const char *store_id, int32_t order_number) {
    if (store_id == nullptr || store_id[0] == '\0' || order_number <= 0) return 0;
    if (!g_accept_orders) {
        _shocst(kAuditSummary, "Order %s %d refused: the mall accepts no orders", store_id,
                static_cast<int>(order_number));
        return 0;
    }
    // Accepting an order also takes its units out of stock and leaves a notice for the store
    // in outbox/; both read the order back from the order file by its number.
    return AcceptOrder(store_id, order_number) ? 1 : 0;
}

static_assert(std::is_same_v<decltype(&_GetVars), GetVarsFn>);
static_assert(std::is_same_v<decltype(&_SubmitOrder), SubmitOrderFn>);
