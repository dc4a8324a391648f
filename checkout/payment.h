// Card checks of the payment step: the digits of a number or expiry, the expiry rules, and the
// three checks of the card library in their order.
#pragma once

#include <cstdint>

#include "orders/records.h"

// Removes, in place, every character that is not a decimal digit.
void KeepDigits(char *text);

// The expiry rules on a digits-only expiry (3 digits: M YY, 4 digits: MM YY), for a server
// whose local time is month (1 to 12) of year (years since 1900), with cards valid at most
// max_years ahead. Years 97 to 99 are 1997 to 1999, the others 2000 and up. When accepted the
// expiry is rewritten as MMYY. A month or year of 0, a month outside 1 to 12, a date before the
// current month or a year beyond max_years ahead is refused.
bool ValidateExpiryAt(char *expiry, int month, int year, int max_years);

// ValidateExpiryAt on the current order's expiry, with the server's local time and the mall's
// maximum card years.
bool ValidateExpiry();

// The card library's checks of the current order's card number, stopping at the first
// refusal: -1 the number, -2 the list of bad cards, -3 the card type; 0 when it passes.
int32_t CheckCreditCard();

// The card library's type code for a card purchase option: 16 is its type 256.
int16_t CardTypeCode(uint16_t option);
