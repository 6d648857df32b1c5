// ISO 8601 text formatting (no Python): calendar day and nanosecond of the
// day -> "YYYY-MM-DDThh:mm:ss[.f...]".
#ifndef VELARION_TIME_KERNELS_ISO_FORMAT_HPP
#define VELARION_TIME_KERNELS_ISO_FORMAT_HPP

#include "velarion/time/kernels/civil.hpp"

#include <cstddef>
#include <cstdint>

namespace velarion::time::kernels {

// Decimals needed to show `ns_of_day` exactly, in steps of three (0, 3, 6, 9).
inline int needed_decimals(int64_t ns_of_day) noexcept {
    const int64_t sub = ns_of_day % kNsPerSec;
    if (sub == 0) return 0;
    if (sub % 1'000'000 == 0) return 3;
    if (sub % 1'000 == 0) return 6;
    return 9;
}

// Longest text format_iso writes.
inline constexpr size_t kIsoMaxLen = 40;

// Writes "YYYY-MM-DDThh:mm:ss[.f...]" with `decimals` (0..9) digits, the
// fraction truncated from the nanosecond count. Returns the length.
inline size_t format_iso(int64_t mjd, int64_t ns_of_day, int decimals, char* out) noexcept {
    const Civil c = civil_from_mjd(mjd);
    char* p = out;
    int64_t y = c.year;
    if (y < 0 || y > 9999) {
        *p++ = y < 0 ? '-' : '+';
        if (y < 0) y = -y;
    }
    char ybuf[20];
    int yn = 0;
    do {
        ybuf[yn++] = static_cast<char>('0' + y % 10);
        y /= 10;
    } while (y > 0);
    while (yn < 4) ybuf[yn++] = '0';
    while (yn > 0) *p++ = ybuf[--yn];
    auto two = [&p](int64_t v) {
        *p++ = static_cast<char>('0' + v / 10);
        *p++ = static_cast<char>('0' + v % 10);
    };
    *p++ = '-';
    two(c.month);
    *p++ = '-';
    two(c.day);
    *p++ = 'T';
    int64_t secs = ns_of_day / kNsPerSec;
    int64_t sub = ns_of_day % kNsPerSec;
    int64_t hour = secs / 3600, minute = (secs / 60) % 60, second = secs % 60;
    if (secs >= 86400) {  // inside a leap second
        hour = 23;
        minute = 59;
        second = 60 + (secs - 86400);
    }
    two(hour);
    *p++ = ':';
    two(minute);
    *p++ = ':';
    two(second);
    if (decimals > 0) {
        if (decimals > 9) decimals = 9;
        *p++ = '.';
        int64_t div = 100'000'000;
        for (int k = 0; k < decimals; ++k) {
            *p++ = static_cast<char>('0' + (sub / div) % 10);
            div /= 10;
        }
    }
    return static_cast<size_t>(p - out);
}

}  // namespace velarion::time::kernels

#endif
