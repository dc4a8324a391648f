// The operator's files of "KEY: TEXT" lines: the option and message file (.mcv, with the
// option readers on top), the module definition (.mdf) and the mall settings (mall.cfg). The
// same input is read as each of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "companions/mall/config.h"
#include "fuzz/scratch.h"
#include "host/messages.h"
#include "shell/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::EnterScratch();
    // Options read after start-up report a bad value as a trace line, not an exit.
    host::messages_started();
    const char *text = reinterpret_cast<const char *>(data);
    fuzz::WriteFile("fuzz.mcv", text, size);
    fuzz::WriteFile("fuzz.mdf", text, size);
    fuzz::WriteFile("mall.cfg", text, size);
    std::remove("trace.log");

    std::map<std::string, host::KeyedLine> lines;
    std::string error;
    host::KeyedFileRules numbered;
    numbered.numeric_keys = true;
    if (host::read_keyed_lines("fuzz.mcv", numbered, &lines, &error)) {
        HostMessageBlock *block = _opnmsg("fuzz.mcv");
        _setmbk(block);
        for (int n = 0; n < 64; ++n) {
            int value = _numopt(n, 2, 25);
            if (value < 2 || value > 25) std::abort();
            _ynopt(n);
            char *option = _stgopt(n);
            const char *message = _getMsgBlk(n);
            if (option == nullptr || message == nullptr) std::abort();
            _hfree(option);  // a module keeps its options for its life; here each goes at once
        }
        int slots = _numopt(18, 50, 100000);
        if (slots < 50 || slots > 100000) std::abort();
        _rstmbk();
        _clsmsg(block);
    } else if (error.empty()) {
        std::abort();
    }

    lines.clear();
    error.clear();
    host::KeyedFileRules definition;
    definition.inline_comments = true;
    if (!host::read_keyed_lines("fuzz.mdf", definition, &lines, &error) && error.empty()) std::abort();
    _gmdnam("fuzz.mdf");

    MallConfig config;
    error.clear();
    if (ReadMallConfig("mall.cfg", &config, &error)) {
        for (const std::string &card : config.bad_cards)
            for (char c : card)
                if (c < '0' || c > '9') std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    return 0;
}
