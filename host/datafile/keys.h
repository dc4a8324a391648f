// Key definitions of a data file and the byte encoding of its keys: an encoded key compares with
// memcmp exactly as the file's records are meant to be ordered, so any store can index it as bytes.
#pragma once

#include <string>
#include <vector>

#include "shell/host.h"

namespace host::datafile {

struct Segment {
    int offset = 0; // in the record
    int width = 0;  // bytes, in the record, in a look-up key buffer and in the encoded key
    int type = 0;   // HOST_KEY_TEXT, HOST_KEY_BYTE, HOST_KEY_INT16, HOST_KEY_INT32
};

struct Key {
    bool unique = false;
    std::vector<Segment> segments;
    int width = 0; // the segments' widths summed: the length of a key buffer and of the encoding
};

// Checks the caller's key definitions against the record size (every segment inside the record,
// integer segments of their natural width, 1 to HOST_KEY_MAX_SEGMENTS segments per key and 1 to
// HOST_KEY_MAX_FILE_KEYS keys). false with the reason in *why.
bool parse_keys(int record_size, int key_count, const HostKeyDef *defs, std::vector<Key> *out,
                std::string *why);

// A canonical text of the definitions ("U 0:9:1 9:9:1|D 18:20:1"), kept beside the stored table
// so that a changed definition is noticed when the file is opened again.
std::string describe_keys(const std::vector<Key> &keys);

// The encoded key of a record of length bytes. A segment that reaches past the end of a short
// record reads the missing bytes as zero, the way a zeroed buffer would have held them.
void encode_record_key(const Key &key, const unsigned char *record, int length, std::string *out);

// The encoded key of a look-up: the segments' values lie one after another in the key buffer,
// which always has the key's full width.
void encode_search_key(const Key &key, const unsigned char *buffer, std::string *out);

}  // namespace host::datafile
