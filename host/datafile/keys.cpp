// Key encoding: text folded to upper case and zero-padded after its terminator, integers turned
// big-endian with the sign bit flipped, so that byte order is the order the mall sorts in.
#include "host/datafile/keys.h"

#include <cstring>

namespace host::datafile {

namespace {

// Encodes one segment into dst (width bytes). Only the first `available` bytes of src exist;
// the rest read as zero.
void encode_segment(const Segment &seg, const unsigned char *src, int available,
                    unsigned char *dst) {
    auto at = [&](int i) -> unsigned char { return i < available ? src[i] : 0; };
    switch (seg.type) {
    case HOST_KEY_TEXT: {
        int i = 0;
        for (; i < seg.width; ++i) {
            unsigned char c = at(i);
            if (c == 0) break;
            dst[i] = (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
        }
        // Whatever lay after the terminator is not part of the text.
        std::memset(dst + i, 0, static_cast<size_t>(seg.width - i));
        break;
    }
    case HOST_KEY_INT16: // little-endian in the record
        dst[0] = static_cast<unsigned char>(at(1) ^ 0x80);
        dst[1] = at(0);
        break;
    case HOST_KEY_INT32:
        dst[0] = static_cast<unsigned char>(at(3) ^ 0x80);
        dst[1] = at(2);
        dst[2] = at(1);
        dst[3] = at(0);
        break;
    default: // HOST_KEY_BYTE: unsigned, compared as is
        for (int i = 0; i < seg.width; ++i) dst[i] = at(i);
        break;
    }
}

}  // namespace

bool parse_keys(int record_size, int key_count, const HostKeyDef *defs, std::vector<Key> *out,
                std::string *why) {
    out->clear();
    if (key_count < 1 || key_count > HOST_KEY_MAX_FILE_KEYS || defs == nullptr) {
        *why = "a file needs 1 to " + std::to_string(HOST_KEY_MAX_FILE_KEYS) + " keys";
        return false;
    }
    for (int k = 0; k < key_count; ++k) {
        const HostKeyDef &def = defs[k];
        std::string which = "key " + std::to_string(k);
        if (def.segment_count < 1 || def.segment_count > HOST_KEY_MAX_SEGMENTS) {
            *why = which + " needs 1 to " + std::to_string(HOST_KEY_MAX_SEGMENTS) + " segments";
            return false;
        }
        Key key;
        key.unique = def.unique != 0;
        for (int s = 0; s < def.segment_count; ++s) {
            Segment seg{def.segments[s].offset, def.segments[s].width, def.segments[s].type};
            std::string where = which + " segment " + std::to_string(s);
            if (seg.type < HOST_KEY_TEXT || seg.type > HOST_KEY_INT32) {
                *why = where + " has an unknown type " + std::to_string(seg.type);
                return false;
            }
            if ((seg.type == HOST_KEY_INT16 && seg.width != 2) ||
                (seg.type == HOST_KEY_INT32 && seg.width != 4) || seg.width < 1) {
                *why = where + " has a width of " + std::to_string(seg.width) + " for its type";
                return false;
            }
            if (seg.offset < 0 || seg.offset + seg.width > record_size) {
                *why = where + " lies outside the record of " + std::to_string(record_size) +
                       " bytes";
                return false;
            }
            key.width += seg.width;
            key.segments.push_back(seg);
        }
        out->push_back(std::move(key));
    }
    return true;
}

std::string describe_keys(const std::vector<Key> &keys) {
    std::string text;
    for (const Key &key : keys) {
        if (!text.empty()) text += '|';
        text += key.unique ? 'U' : 'D';
        for (const Segment &seg : key.segments)
            text += ' ' + std::to_string(seg.offset) + ':' + std::to_string(seg.width) + ':' +
                    std::to_string(seg.type);
    }
    return text;
}

void encode_record_key(const Key &key, const unsigned char *record, int length, std::string *out) {
    out->resize(static_cast<size_t>(key.width));
    auto *dst = reinterpret_cast<unsigned char *>(out->data());
    for (const Segment &seg : key.segments) {
        int available = length - seg.offset;
        if (available < 0) available = 0;
        if (available > seg.width) available = seg.width;
        encode_segment(seg, available > 0 ? record + seg.offset : record, available, dst);
        dst += seg.width;
    }
}

void encode_search_key(const Key &key, const unsigned char *buffer, std::string *out) {
    out->resize(static_cast<size_t>(key.width));
    auto *dst = reinterpret_cast<unsigned char *>(out->data());
    for (const Segment &seg : key.segments) {
        encode_segment(seg, buffer, seg.width, dst);
        buffer += seg.width;
        dst += seg.width;
    }
}

}  // namespace host::datafile
