// The catalogue as the operator writes it in JSON, and the records it stands for: one entry
// per store holding its store and extended records, departments, formats and products.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "catalogue/records.h"

namespace mallctl {

struct ProductEntry {
    ProductRecord record{};
    std::vector<std::string> keywords;  // in capitals, each at most kKeywordSize - 1 bytes
};

struct StoreEntry {
    StoreRecord store{};
    bool has_extended = false;
    ExtendedStoreRecord extended{};
    std::vector<DepartmentRecord> departments;
    std::vector<FormatRecord> formats;
    std::vector<ProductEntry> products;
};

struct Catalogue {
    std::vector<StoreEntry> stores;
};

// Reads a catalogue file's text into records: store and department ids in capitals, keywords
// in capitals (one per word of the name when the product lists none), everything a record
// does not name left zero. Every bad value adds one line "place: what is wrong" to *problems,
// where place is the value's path in the file ("stores[0].products[3].id"); the records are
// only good when no line was added. Products of a department the file does not list are not
// problems here: that department may already be in the data files.
//
// A large file takes a while: progress, when given, is told now and then how far the reading
// has come, in bytes of the text, and how many products it has read so far; last with the
// whole text, unless the text is not JSON.
using ReadProgress = std::function<void(size_t done, size_t total, size_t products)>;
void catalogue_from_json(const std::string &text, Catalogue *out, std::vector<std::string> *problems,
                         const ReadProgress *progress = nullptr);

// The catalogue in the form catalogue_from_json reads, every field written out, amounts with
// the fewest digits that read back as the same single-precision value.
std::string catalogue_to_json(const Catalogue &catalogue);

// The keywords a product gets when it lists none: each word of its name (split at blanks) in
// capitals and cut to fit the record, without repeats.
std::vector<std::string> default_keywords(const std::string &name);

// The text of a fixed-width record field, which need not hold a terminator when full.
std::string field_text(const char *field, size_t size);

// ASCII capitals, which is what the data files fold keys to.
std::string upper(std::string text);

}  // namespace mallctl
