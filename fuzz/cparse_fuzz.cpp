// The template processor over an arbitrary template and tables. Input: table lines
// "NAME=VALUE" up to the first NUL byte, then the template. The template is rendered whole,
// with its repeat block emitted a few times, into a bounded page.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/scratch.h"
#include "template/cparse.h"
#include "template/stable.h"

namespace {

size_t PageBytes = 0;

void Count(const char *text) {
    PageBytes += std::strlen(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::EnterScratch();
    std::string tables, script;
    fuzz::Split(reinterpret_cast<const char *>(data), size, '\0', &tables, &script);
    fuzz::WriteFile("kvzsvw/page.htm", script.data(), script.size());

    STable first, second;
    size_t at = 0;
    int row = 0;
    while (at <= tables.size()) {
        size_t end = tables.find('\n', at);
        std::string line = tables.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            std::string name = line.substr(0, eq), value = line.substr(eq + 1);
            (row++ % 2 ? second : first).Set(name.c_str(), value.c_str());
        }
        if (end == std::string::npos) break;
        at = end + 1;
    }

    PageBytes = 0;
    {
        CParse parse("page.htm", &first, "kvzsvw\\", Count);
        parse.SetTables(&first, &second);
        for (int i = 0; i < 4 && parse.State() != CParse::Closed && parse.State() != CParse::Stopped; ++i) {
            parse.Parse();
            for (int r = 0; r < 3; ++r) parse.Repeat();
        }
        char text[300];
        size_t n = script.size() < sizeof text - 1 ? script.size() : sizeof text - 1;
        std::memcpy(text, script.data(), n);
        text[n] = '\0';
        parse.Substitute(text, sizeof text);
        if (std::strlen(text) >= sizeof text) std::abort();
    }
    // The same template under a store's own directory name taken from the tables: never
    // outside kvzsvw.
    {
        CParse parse("page.htm", &first, "kvzsvw\\", Count, tables.c_str());
        parse.Parse();
    }
    return 0;
}
