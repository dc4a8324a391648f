// The host's HTTP request reader, fed the bytes of a connection in pieces of varying size (the
// first byte chooses the piece size), as a slow or hostile client would send them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "host/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t piece = data[0] == 0 ? size : data[0];
    ++data;
    --size;
    host::RequestReader reader;
    host::ReadResult result = host::ReadResult::need_more;
    size_t fed = 0;
    while (fed < size && result == host::ReadResult::need_more) {
        size_t n = size - fed < piece ? size - fed : piece;
        result = reader.feed(reinterpret_cast<const char *>(data) + fed, n);
        fed += n;
    }
    const host::HttpRequest &request = reader.request;
    if (result == host::ReadResult::complete) {
        // A complete request stays within its limits and its body lies inside what was read.
        if (request.body_offset > request.raw.size()) std::abort();
        if (request.raw.size() - request.body_offset > host::kBodyLimit) std::abort();
        if (request.method.empty()) std::abort();
    }
    if (result == host::ReadResult::refused && reader.refusal < 400) std::abort();
    return 0;
}
