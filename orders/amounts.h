// The order's arithmetic: quantity discounts and unit prices (the cart's and the checkout's),
// handling, shipping by weight and the tax of one line. Products and sums are formed in double and each result is kept in
// single precision, as the order slot stores it; nothing is cut to cents before display.
#pragma once

#include <cstdint>

#include "catalogue/records.h"
#include "orders/records.h"

// A stored amount with another added: summed in double, kept as a float.
inline float AddAmount(float stored, double amount) {
    return static_cast<float>(static_cast<double>(stored) + amount);
}

// The discount fraction (0.15 for 15 %) the product's table gives for the item's quantity;
// 0 when no range holds it, or the table's first range starts at 0.
float QuantityDiscount(const OrderItem *item, const ProductRecord *product);

// The unit price charged: price less price x discount fraction.
float UnitPriceCharged(float price, float discount);

// Handling of a line of quantity units: the first-unit amount once, the further-unit amount
// for each unit after it.
double ItemHandling(int16_t quantity, float first, float more);

// Shipping of an order of weight: the first-unit charge up to 1.0, plus the further-unit
// charge for every begun unit above it.
float ShippingCharge(float weight, float first, float more);

// tax with the tax of a line of amount added: the first rate on the amount, then the second
// rate on the amount or, when compound, on the amount with the first tax (each step kept in
// single precision). Rates are in percent.
float AddLineTax(float tax, double amount, float rate1, float rate2, bool compound);
