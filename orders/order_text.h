// How an operator reads a stored order's date and time: the notice of the mall library and
// mallctl write them alike, as YYYY-MM-DD and HH:MM:SS.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "shell/host.h"

// A day count of the host as YYYY-MM-DD.
inline std::string OrderDateText(uint16_t day_count) {
    uint16_t date = _datofc(day_count);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", 1980u + (date >> 9), (date >> 5) & 0x0fu, date & 0x1fu);
    return text;
}

// A packed time of the host as HH:MM:SS.
inline std::string OrderTimeText(uint16_t time) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", (time >> 11) & 0x1fu, (time >> 5) & 0x3fu,
                  (time & 0x1fu) * 2u);
    return text;
}
