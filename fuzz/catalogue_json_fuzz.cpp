// mallctl import's reading of a catalogue file. A catalogue read without a problem is written
// out again and must read back without one, to the same JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/catalogue_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    mallctl::Catalogue catalogue;
    std::vector<std::string> problems;
    mallctl::catalogue_from_json(text, &catalogue, &problems);
    if (!problems.empty()) return 0;
    std::string written = mallctl::catalogue_to_json(catalogue);
    mallctl::Catalogue again;
    mallctl::catalogue_from_json(written, &again, &problems);
    if (!problems.empty()) std::abort();
    if (mallctl::catalogue_to_json(again) != written) std::abort();
    return 0;
}
