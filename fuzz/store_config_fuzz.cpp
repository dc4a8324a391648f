// A store's shipping and tax files (KVZSVSHP.CFG, KVZSVTAX.CFG) as the checkout reads them.
// Input: the shipping file, a NUL byte, the tax file, a NUL byte, the SHIPOPT a shopper sends
// (forged at will).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "checkout/checkout.h"
#include "checkout/shipping.h"
#include "fuzz/scratch.h"
#include "orders/slots.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::EnterScratch();
    std::string shipping, rest, tax, chosen;
    fuzz::Split(reinterpret_cast<const char *>(data), size, '\0', &shipping, &rest);
    fuzz::Split(rest.data(), rest.size(), '\0', &tax, &chosen);
    fuzz::WriteFile("KVZSV/FUZZ/KVZSVSHP.CFG", shipping.data(), shipping.size());
    fuzz::WriteFile("KVZSV/FUZZ/KVZSVTAX.CFG", tax.data(), tax.size());

    char path[kConfigPathSize];
    if (FILE *file = OpenStoreConfig("FUZZ", "KVZSVSHP.CFG", path)) {
        char line[kConfigLineSize];
        while (NextConfigLine(file, line)) {
            if (std::strlen(line) >= sizeof line) std::abort();
            ParseShippingLine(line);
        }
        std::fclose(file);
    }

    static OrderSlot order;
    std::memset(&order, 0, sizeof order);
    std::strcpy(order.store_id, "FUZZ");
    order.count = 1;
    std::strcpy(order.items[0].product_id, "P");
    order.items[0].quantity = 1;
    // The order's shipping place from the forged text too, so that the tax lines can match.
    _stzcpy(order.customer.scity, chosen.c_str(), sizeof order.customer.scity);
    _stzcpy(order.customer.sstate, chosen.c_str(), sizeof order.customer.sstate);
    _stzcpy(order.customer.szip, chosen.c_str(), sizeof order.customer.szip);
    char picked[kShippingLineSize];
    if (ShippingLineOffered(&order, chosen.c_str(), picked) && std::strlen(picked) >= sizeof picked) std::abort();
    for (uint32_t settings : {1u, 2u | (3u << 3), 3u | 64u, 4u | (1u << 3)}) ReadTaxRates(&order, "FUZZ", settings);
    return 0;
}
