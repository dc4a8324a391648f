// The order pages the GET command table calls: adding to and changing the order, the cart,
// cancelling, and the diagnostics page.
#pragma once

#include "shell/module.h"

void OrderPage();      // "order"
void ShopCartPage();   // "shopcart"
void KillOrderPage();  // "killorder"
MODULE_EXPORT void Debug(void);  // "debug"
