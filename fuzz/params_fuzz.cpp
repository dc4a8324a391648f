// Request parameters and the Authorization header: GetParam over an arbitrary query or form
// body (with UrlDecode), Base64Decode, and VerifyUser over an arbitrary header line against a
// real account file holding one user.
//
// Input: "METHOD\nURL\nBODY\nAUTHORIZATION-LINE\nNAME" (missing parts are empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/scratch.h"
#include "host/accounts.h"
#include "host/datafile.h"
#include "web/params.h"

namespace {

std::vector<std::string> Parts(const uint8_t *data, size_t size, size_t count) {
    std::vector<std::string> parts(count);
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t end = i + 1 == count ? std::string::npos : text.find('\n', at);
        if (at > text.size()) break;
        parts[i] = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return parts;
}

void Setup() {
    static bool done = false;
    if (done) return;
    done = true;
    fuzz::EnterScratch();
    std::string error;
    if (!host::accounts_open() || !host::account_add("alice", "secret", "", {"MEMBER"}, &error)) std::abort();
    std::atexit([] { host::datafile_close_all(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Setup();
    std::vector<std::string> part = Parts(data, size, 5);
    HostWebRecord web{};
    std::strncpy(web.method, part[0].c_str(), sizeof web.method - 1);
    std::string url = part[1], body = part[2];
    web.url = url.data();
    web.body = body.data();
    web.request = url.data();
    _vdaptr = &web;
    _usrnum = 0;

    for (const char *name : {"CMD", "SID", "OrderQuant", "SHIPOPT", "EMAIL"}) {
        const char *value = GetParam(name);
        if (std::strlen(value) >= kParamSize) std::abort();
    }
    if (!part[4].empty()) {
        const char *value = GetParam(part[4].c_str());
        if (std::strlen(value) >= kParamSize) std::abort();
    }

    // The decoders on their own, on a copy that they may change in place.
    std::string copy = part[3];
    copy.push_back('\0');
    UrlDecode(copy.data());
    copy = part[3];
    copy.push_back('\0');
    char out[kDecodeSize];
    int n = Base64Decode(copy.data(), out, sizeof out);
    if (n >= static_cast<int>(sizeof out) || std::strlen(out) >= sizeof out) std::abort();

    // The header line as the host hands it to the module, then the check against the accounts.
    std::string line = part[3];
    kvzsvwparse(line.data());
    VerifyUser();
    if (UserVerified() && !_sameas(CurrentUserId(), "alice")) std::abort();
    ClearChannelAuthorization();
    _vdaptr = nullptr;
    return 0;
}
