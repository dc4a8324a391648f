// The order's arithmetic, shared by the cart, the purchase options preview and the totals page.
#include "orders/amounts.h"

float QuantityDiscount(const OrderItem *item, const ProductRecord *product) {
    if (product->discounts[0].min == 0) return 0;
    int32_t quantity = item->quantity;
    for (int i = 0; i < kDiscounts; ++i) {
        int32_t lowest = product->discounts[i].min;
        int32_t highest = product->discounts[i].max;
        if (lowest <= quantity && quantity <= highest)
            return static_cast<float>(product->discount_percent[i] * 0.01);
    }
    return 0;
}

float UnitPriceCharged(float price, float discount) {
    double p = price;
    return static_cast<float>(p - p * static_cast<double>(discount));
}

double ItemHandling(int16_t quantity, float first, float more) {
    return static_cast<double>(quantity - 1) * static_cast<double>(more) + static_cast<double>(first);
}

float ShippingCharge(float weight, float first, float more) {
    if (static_cast<double>(weight) <= 1.0) return first;
    // A begun unit counts whole; the 0.999999 keeps an exact 2.0 at one further unit.
    long units = static_cast<long>(static_cast<double>(weight) - 1 + 0.999999);
    return static_cast<float>(static_cast<double>(first) + static_cast<double>(units) * more);
}

float AddLineTax(float tax, double amount, float rate1, float rate2, bool compound) {
    double t1 = amount * (static_cast<double>(rate1) * 0.01);
    tax = AddAmount(tax, t1);
    if (compound) {
        float first = static_cast<float>(t1);
        float taxed = static_cast<float>(amount + first);
        return AddAmount(tax, (static_cast<double>(rate2) * 0.01) * taxed);
    }
    return AddAmount(tax, amount * (static_cast<double>(rate2) * 0.01));
}
