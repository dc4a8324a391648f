// HTML escaping of request text for page tables.
#include "web/escape.h"

#include <cstring>

namespace {

constexpr int kEscapeBuffers = 8;

const char *EntityOf(char c) {
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
    }
}

}  // namespace

char *HtmlEscapeTo(char *out, size_t size, const char *text) {
    if (out == nullptr || size == 0) return out;
    size_t length = 0;
    for (const char *p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        const char *entity = EntityOf(*p);
        size_t n = entity != nullptr ? std::strlen(entity) : 1;
        if (length + n >= size) break;
        if (entity != nullptr) std::memcpy(out + length, entity, n);
        else out[length] = *p;
        length += n;
    }
    out[length] = '\0';
    return out;
}

const char *HtmlEscape(const char *text) {
    static char buffers[kEscapeBuffers][kEscapeSize];
    static int next = 0;
    char *out = buffers[next];
    next = (next + 1) % kEscapeBuffers;
    return HtmlEscapeTo(out, kEscapeSize, text);
}
