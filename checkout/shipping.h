// Shipping methods: the store's shipping configuration file (KVZSV\<store>\KVZSVSHP.CFG, one
// method a line, "name~first-unit charge~further-unit charge~YES or NO for handling"), the
// default method, the line an order keeps, and the shipping choice page "SWPURCH.HTM".
#pragma once

#include <cstdio>

#include "orders/records.h"

class STable;

// Lines of the shipping and tax files are read with this buffer: a longer line arrives as
// several lines.
constexpr int kConfigLineSize = 80;

// The four fields of a shipping option line.
struct ShippingMethod {
    char name[kShippingLineSize];  // field 0, "SHIPNAME"
    float first;                   // field 1: charge for the first unit of weight
    float more;                    // field 2: for each further unit, begun units whole
    bool handling;                 // field 3 is "YES": the products' handling amounts apply
};

// Splits a shipping option line.
ShippingMethod ParseShippingLine(const char *line);

// "<message 49>~0.00~0.00~NO" into line (kShippingLineSize bytes).
char *DefaultShippingLine(char *line);

// The path of one of a store's configuration files ("KVZSV\" + the store id cut to 8 + "\" +
// name) into path (size bytes); false when the store id could climb out of its directory.
bool StoreConfigPath(char *path, int size, const char *store_id, const char *name);

// Opens the file a store's configuration path names; null when it is not there or the store
// id is not a safe path part. path receives the path tried (kConfigPathSize bytes).
constexpr int kConfigPathSize = 64;
FILE *OpenStoreConfig(const char *store_id, const char *name, char *path);

// The next line of an open configuration file, without its line end, into line
// (kConfigLineSize bytes); empty lines are passed over. False at the end of the file.
bool NextConfigLine(FILE *file, char *line);

// Whether the order is offered only the default method: it holds no item, or every item
// needs no shipping.
bool OnlyDefaultShipping(const OrderSlot *order);

// Whether line (a line end ignored) is one of the methods the shipping choice page offers for
// this order. When it is, the offered line, without line end, is copied into chosen
// (kShippingLineSize bytes) unless chosen is null.
bool ShippingLineOffered(const OrderSlot *order, const char *line, char *chosen);

// The shipping choice page for the current order, with the table the customer details page
// filled. Ends with the error page when the store has no extended record.
void ShippingChoicePage(STable *table);
