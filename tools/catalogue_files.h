// The catalogue's four data files as mallctl reads and changes them: look-ups, walks along a
// key, replacing and deleting records, and the keywords of products.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "shell/host.h"
#include "tools/catalogue_json.h"

namespace mallctl {

// The files of catalogue.db. One transaction on any of them covers all four.
struct CatalogueFiles {
    HostFile store = -1;
    HostFile product = -1;
    HostFile format = -1;
    HostFile keyword = -1;
};

// Opens the four (the root must be open). false after a line on stderr.
bool open_catalogue(CatalogueFiles *files);

// The position of the record whose key keynum equals key, read into buffer; 0 when none.
long find_record(HostFile file, const void *key, int keynum, void *buffer);

// Reads, in key order, each record from the first whose key keynum is at or after key into
// buffer and calls visit with its position, until visit returns false or the file ends.
void walk_records(HostFile file, const void *key, int keynum, void *buffer,
                  const std::function<bool(long position)> &visit);

// Deletes the records at the given positions. false when one could not be deleted.
bool delete_records(HostFile file, const std::vector<long> &positions);

// Replaces the record whose key keynum equals that of record, or adds it when there is none.
// length is the record's own length (a store record is shorter than the file's longest).
// false when the file refused the write.
bool put_record(HostFile file, const void *key, int keynum, const void *record, int length);

// Adds a record, for a caller that knows there is none with its key. false when the file
// refused it (a duplicate on a unique key).
bool add_record(HostFile file, const void *record, int length);

// A product's keywords with their positions, in the order they were added.
struct KeywordHit {
    long position;
    std::string keyword;
};
std::vector<KeywordHit> product_keywords(HostFile keyword_file, const char *store_id, const char *dept_id,
                                         const char *product_id);

// Adds one keyword record per keyword of the product. false when one was refused.
bool add_keywords(HostFile keyword_file, const ProductRecord &product, const std::vector<std::string> &keywords);

// Equal ignoring letter case, as the keys compare.
bool same_id(const std::string &a, const std::string &b);

}  // namespace mallctl
