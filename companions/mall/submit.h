// What the mall library does with an order it accepts: the units leave the stock and the
// store gets a plain-text notice of the order in the root's outbox/.
#pragma once

#include <cstdint>

#include "shell/companions.h"

// The files and option texts _GetVars handed to the module; orders are read through them.
void RememberMallVars(const MallVars &vars);

// Reads the order (store_id, order_number) back from the order file, writes its notice and
// lowers the stock of its stock-counted products. false when the order is not in the file or
// its notice could not be written: the order is refused and nothing has changed. A stock
// update that fails does not refuse the order (the notice already tells the store about it);
// it leaves an audit entry naming the product.
bool AcceptOrder(const char *store_id, int32_t order_number);
