// Two-line element set parsing (no Python).
//
// Fixed columns (1-based, inclusive):
//   line 1: 1 line number; 3-7 catalogue number; 8 classification;
//           10-17 international designator; 19-20 epoch year; 21-32 epoch
//           day of year with fraction; 34-43 ndot (rev/day^2, a half of the
//           derivative); 45-52 nddot (rev/day^3, a sixth of the derivative,
//           implied decimal point and exponent); 54-61 bstar (1/Earth radii,
//           same form); 63 ephemeris type; 65-68 element set number;
//           69 checksum.
//   line 2: 1 line number; 3-7 catalogue number; 9-16 inclination (deg);
//           18-25 right ascension of the node (deg); 27-33 eccentricity
//           (implied leading decimal point); 35-42 argument of perigee (deg);
//           44-51 mean anomaly (deg); 53-63 mean motion (rev/day);
//           64-68 revolution number; 69 checksum.
// The checksum is the sum of the digits of columns 1-68, plus one for each
// '-', modulo 10. Catalogue numbers above 99999 use the Alpha-5 form (a
// letter for the leading digits, I and O skipped).
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_TLE_PARSE_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_TLE_PARSE_HPP

#include <erfa.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <numbers>
#include <string_view>

namespace velarion::propagators::analytical::sgp4::kernels {

inline constexpr int kLineLength = 69;

struct TleFields {
    long satnum = 0;
    char classification = 'U';
    char intldesg[9] = {};   // columns 10-17 without surrounding blanks
    int epoch_year = 0;      // full year
    double epoch_day = 0.0;  // day of year, 1.0 = 1 January 0h UTC
    double ndot = 0.0;       // rev/day^2
    double nddot = 0.0;      // rev/day^3
    double bstar = 0.0;      // 1/Earth radii
    // nddot and bstar as the line writes them: the mantissa 0.ddddd (signed)
    // and the power of ten.
    double nddot_mantissa = 0.0, bstar_mantissa = 0.0;
    int nddot_exponent = 0, bstar_exponent = 0;
    int ephtype = 0;
    long elnum = 0;
    double inc = 0.0;  // deg
    double raa = 0.0;  // deg
    double ecc = 0.0;
    double arp = 0.0;  // deg
    double mea = 0.0;  // deg
    double mnm = 0.0;  // rev/day
    long revnum = 0;
};

struct TleError {
    int line = 0;
    int column = 0;
    char message[160] = {};
};

namespace detail {

// The texts of the faults are word for word: callers and tests compare the
// "TLE line L, column C: ..." messages built from them.
class LineParser {
public:
    LineParser(std::string_view text, int line, TleError& err) noexcept : s_(text), line_(line), err_(err) {}

    // 1-based column c.
    char at(int c) const noexcept { return s_[static_cast<size_t>(c - 1)]; }

    // Records the fault at `column` (a printf format and its values, checked
    // by the compiler) and returns false.
    [[gnu::format(printf, 3, 4)]] bool fail(int column, const char* fmt, ...) noexcept {
        err_.line = line_;
        err_.column = column;
        std::va_list args;
        va_start(args, fmt);
        std::vsnprintf(err_.message, sizeof err_.message, fmt, args);
        va_end(args);
        return false;
    }

    bool length() noexcept {
        for (size_t i = 0; i < s_.size(); ++i) {
            unsigned char ch = static_cast<unsigned char>(s_[i]);
            if (ch < 0x20 || ch > 0x7e)
                return fail(static_cast<int>(i) + 1, "character %d is not printable ASCII", static_cast<int>(ch));
        }
        if (s_.size() < static_cast<size_t>(kLineLength))
            return fail(static_cast<int>(s_.size()) + 1, "the line ends after %d columns; a TLE line has %d",
                        static_cast<int>(s_.size()), kLineLength);
        if (s_.size() > static_cast<size_t>(kLineLength))
            return fail(kLineLength + 1, "text after column %d: a TLE line has %d columns", kLineLength, kLineLength);
        return true;
    }

    bool blank(int c) noexcept {
        return at(c) == ' ' ? true : fail(c, "expected a blank between fields, found '%c'", at(c));
    }

    // Unsigned integer in columns [c0, c1], leading blanks allowed (all
    // blank reads as 0 when blank_ok).
    bool integer(int c0, int c1, const char* what, long& out, bool blank_ok = false) noexcept {
        int c = c0;
        while (c <= c1 && at(c) == ' ') ++c;
        if (c > c1) {
            if (blank_ok) {
                out = 0;
                return true;
            }
            return fail(c0, "%s is blank", what);
        }
        long v = 0;
        for (; c <= c1; ++c) {
            if (at(c) < '0' || at(c) > '9') return fail(c, "%s: '%c' where a digit is required", what, at(c));
            v = v * 10 + (at(c) - '0');
        }
        out = v;
        return true;
    }

    // Decimal number in columns [c0, c1]: leading blanks, an optional sign
    // (when signed), digits with at most one decimal point.
    bool decimal(int c0, int c1, const char* what, double& out, bool is_signed) noexcept {
        int c = c0;
        while (c <= c1 && at(c) == ' ') ++c;
        if (c > c1) return fail(c0, "%s is blank", what);
        char buf[24];
        size_t n = 0;
        if (at(c) == '-' || at(c) == '+') {
            if (!is_signed) return fail(c, "%s: a sign is not allowed here", what);
            if (at(c) == '-') buf[n++] = '-';
            ++c;
        }
        bool point = false, digit = false;
        for (; c <= c1; ++c) {
            char ch = at(c);
            if (ch == '.' && !point) {
                point = true;
            } else if (ch >= '0' && ch <= '9') {
                digit = true;
            } else {
                return fail(c, "%s: '%c' where a digit is required", what, ch);
            }
            if (n + 1 >= sizeof buf) return fail(c, "%s is too long", what);
            buf[n++] = ch;
        }
        if (!digit) return fail(c1, "%s has no digits", what);
        // from_chars does not take a leading '.'; give it "0.".
        char clean[26];
        size_t m = 0;
        size_t i = 0;
        if (buf[0] == '-') clean[m++] = buf[i++];
        if (buf[i] == '.') clean[m++] = '0';
        for (; i < n; ++i) clean[m++] = buf[i];
        auto res = std::from_chars(clean, clean + m, out);
        if (res.ec != std::errc() || res.ptr != clean + m) return fail(c0, "%s is not a number", what);
        return true;
    }

    // "+ddddd-e" form of nddot and bstar: a sign (blank, '+' or '-'), five
    // digits with an implied leading decimal point, and a signed exponent
    // digit; the value is +-0.ddddd * 10^(+-e).
    bool exponential(int c0, const char* what, double& out, double& mantissa, int& exponent) noexcept {
        double sign = 1.0;
        char s = at(c0);
        if (s == '-')
            sign = -1.0;
        else if (s != ' ' && s != '+')
            return fail(c0, "%s: '%c' where a sign or a blank is required", what, s);
        long mant = 0;
        int c = c0 + 1;
        while (c <= c0 + 5 && at(c) == ' ') ++c;  // leading blanks of the mantissa
        for (; c <= c0 + 5; ++c) {
            if (at(c) < '0' || at(c) > '9') return fail(c, "%s: '%c' where a digit is required", what, at(c));
            mant = mant * 10 + (at(c) - '0');
        }
        char es = at(c0 + 6);
        if (es != '-' && es != '+' && es != ' ')
            return fail(c0 + 6, "%s: '%c' where the exponent's sign is required", what, es);
        char ed = at(c0 + 7);
        if (ed < '0' || ed > '9') return fail(c0 + 7, "%s: '%c' where the exponent digit is required", what, ed);
        exponent = (es == '-' ? -1 : 1) * (ed - '0');
        mantissa = sign * (static_cast<double>(mant) / 1e5);
        const int e = exponent - 5;  // 0.ddddd = ddddd * 10^-5
        // Exact integer mantissa times a power of ten: the correctly rounded value.
        out = sign *
              (e < 0 ? static_cast<double>(mant) / std::pow(10.0, -e) : static_cast<double>(mant) * std::pow(10.0, e));
        return true;
    }

    // Catalogue number in columns 3-7, digits or Alpha-5.
    bool satnum(long& out) noexcept {
        char first = at(3);
        long lead = 0;
        if (first >= 'A' && first <= 'Z') {
            if (first == 'I' || first == 'O')
                return fail(3, "catalogue number: '%c' is not used in Alpha-5 numbers", first);
            lead = 10 + (first - 'A') - (first > 'I') - (first > 'O');
            long rest = 0;
            for (int c = 4; c <= 7; ++c) {
                if (at(c) < '0' || at(c) > '9')
                    return fail(c, "catalogue number: '%c' where a digit is required", at(c));
            }
            if (!integer(4, 7, "catalogue number", rest)) return false;
            out = lead * 10000 + rest;
            return true;
        }
        return integer(3, 7, "catalogue number", out);
    }

    bool line_number(char expected) noexcept {
        return at(1) == expected ? true : fail(1, "line number is '%c', expected '%c'", at(1), expected);
    }

    bool checksum() noexcept {
        int sum = 0;
        for (int c = 1; c < kLineLength; ++c) {
            char ch = at(c);
            if (ch >= '0' && ch <= '9')
                sum += ch - '0';
            else if (ch == '-')
                sum += 1;
        }
        char given = at(kLineLength);
        if (given < '0' || given > '9')
            return fail(kLineLength, "checksum '%c' is not a digit, expected %d", given, sum % 10);
        if (given - '0' != sum % 10) return fail(kLineLength, "checksum is %d, expected %d", given - '0', sum % 10);
        return true;
    }

    bool in_range(int c0, const char* what, double v, double lo, double hi, bool hi_open) noexcept {
        if (v < lo || v > hi || (hi_open && v == hi))
            return fail(c0, "%s %.17g is outside [%g, %g%c", what, v, lo, hi, hi_open ? ')' : ']');
        return true;
    }

    // An angle of line 2: a blank column, then degrees in [0, max] in
    // columns [c0, c1], unsigned.
    bool angle(int c0, int c1, const char* what, double& out, double max) noexcept {
        return blank(c0 - 1) && decimal(c0, c1, what, out, false) && in_range(c0, what, out, 0.0, max, false);
    }

private:
    std::string_view s_;
    int line_;
    TleError& err_;
};

inline std::string_view rstrip(std::string_view s) noexcept {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

inline bool is_leap(int y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace detail

// Parses the two lines (trailing blanks and line ends are ignored). On
// failure returns false with `err` naming the line, the column and the fault.
inline bool parse_tle(std::string_view line1, std::string_view line2, TleFields& f, TleError& err) noexcept {
    using detail::LineParser;
    {
        LineParser p(detail::rstrip(line1), 1, err);
        double year;
        long elnum = 0, ephtype = 0;
        if (!p.length() || !p.line_number('1') || !p.blank(2) || !p.satnum(f.satnum)) return false;
        char cls = p.at(8);
        if (cls != 'U' && cls != 'C' && cls != 'S') return p.fail(8, "classification '%c' is not U, C or S", cls);
        f.classification = cls;
        if (!p.blank(9)) return false;
        int b = 10, e = 17;
        while (b <= e && p.at(b) == ' ') ++b;
        while (e >= b && p.at(e) == ' ') --e;
        int n = 0;
        for (int c = b; c <= e; ++c) f.intldesg[n++] = p.at(c);
        f.intldesg[n] = '\0';
        long yy = 0;
        if (!p.blank(18) || !p.integer(19, 20, "epoch year", yy)) return false;
        if (p.at(19) == ' ') return p.fail(19, "epoch year: ' ' where a digit is required");
        year = yy < 57 ? 2000 + yy : 1900 + yy;
        f.epoch_year = static_cast<int>(year);
        if (!p.decimal(21, 32, "epoch day", f.epoch_day, false)) return false;
        const double days = detail::is_leap(f.epoch_year) ? 366.0 : 365.0;
        if (!p.in_range(21, "epoch day", f.epoch_day, 1.0, days + 1.0, true)) return false;
        if (!p.blank(33) || !p.decimal(34, 43, "ndot", f.ndot, true)) return false;
        if (!p.blank(44) || !p.exponential(45, "nddot", f.nddot, f.nddot_mantissa, f.nddot_exponent)) return false;
        if (!p.blank(53) || !p.exponential(54, "bstar", f.bstar, f.bstar_mantissa, f.bstar_exponent)) return false;
        if (!p.blank(62) || !p.integer(63, 63, "ephemeris type", ephtype, true)) return false;
        f.ephtype = static_cast<int>(ephtype);
        if (!p.blank(64) || !p.integer(65, 68, "element set number", elnum, true)) return false;
        f.elnum = elnum;
        if (!p.checksum()) return false;
    }
    {
        LineParser p(detail::rstrip(line2), 2, err);
        long satnum = 0;
        if (!p.length() || !p.line_number('2') || !p.blank(2) || !p.satnum(satnum)) return false;
        if (!p.angle(9, 16, "inclination", f.inc, 180.0) ||
            !p.angle(18, 25, "right ascension of the node", f.raa, 360.0))
            return false;
        long ecc = 0;
        if (!p.blank(26)) return false;
        for (int c = 27; c <= 33; ++c) {
            if (p.at(c) < '0' || p.at(c) > '9')
                return p.fail(c, "eccentricity: '%c' where a digit is required", p.at(c));
        }
        if (!p.integer(27, 33, "eccentricity", ecc)) return false;
        f.ecc = static_cast<double>(ecc) / 1e7;
        if (!p.angle(35, 42, "argument of perigee", f.arp, 360.0) || !p.angle(44, 51, "mean anomaly", f.mea, 360.0))
            return false;
        if (!p.blank(52) || !p.decimal(53, 63, "mean motion", f.mnm, false)) return false;
        if (!(f.mnm > 0.0)) return p.fail(53, "mean motion must be positive");
        if (!p.integer(64, 68, "revolution number", f.revnum, true)) return false;
        if (!p.checksum()) return false;
        if (satnum != f.satnum) return p.fail(3, "catalogue number %ld differs from line 1's %ld", satnum, f.satnum);
    }
    return true;
}

// Elements in SI units and the epoch as a two-part UTC Julian Date.
struct TleSI {
    double ndot, nddot, bstar, inc, raa, ecc, arp, mea, mnm;
    double jd1, jd2;
};

inline TleSI to_si(const TleFields& f) noexcept {
    constexpr double deg = std::numbers::pi / 180.0;
    constexpr double rev = 2.0 * std::numbers::pi;
    constexpr double day = 86400.0;
    TleSI s;
    s.ndot = f.ndot * rev / (day * day);
    s.nddot = f.nddot * rev / (day * day * day);
    s.bstar = f.bstar;
    s.inc = f.inc * deg;
    s.raa = f.raa * deg;
    s.ecc = f.ecc;
    s.arp = f.arp * deg;
    s.mea = f.mea * deg;
    s.mnm = f.mnm * rev / day;
    // The day's calendar date from the JD of 1 January 0h (Gregorian), then
    // the time of day: the TLE's fraction counts 86400-s days, while a UTC
    // Julian Date spreads a leap-second day's 86401 s over the day (ERFA's
    // convention), which eraDtf2d applies.
    const long y = f.epoch_year - 1;
    const double jan1 = 1721425.5 + 365.0 * y + static_cast<double>(y / 4 - y / 100 + y / 400);
    const double whole = std::floor(f.epoch_day);
    const double day_jd = jan1 + (whole - 1.0);
    double sec = (f.epoch_day - whole) * 86400.0;
    int iy, im, id;
    double fd;
    s.jd1 = day_jd;
    s.jd2 = f.epoch_day - whole;
    if (eraJd2cal(day_jd, 0.0, &iy, &im, &id, &fd) != 0) return s;
    const int ihr = static_cast<int>(sec / 3600.0);
    sec -= 3600.0 * ihr;
    const int imn = static_cast<int>(sec / 60.0);
    sec -= 60.0 * imn;
    double d1, d2;
    if (eraDtf2d("UTC", iy, im, id, ihr, imn, sec, &d1, &d2) >= 0) {
        s.jd1 = d1;
        s.jd2 = d2;
    }
    return s;
}

// What sgp4init starts from, computed from the line's values in the order
// and with the roundings of the reference implementation's twoline2rv
// (the sgp4 package's Satrec.twoline2rv): its epoch split (calendar day at
// 0h plus a clock time rebuilt from hours, minutes and seconds, the fraction
// rounded to 8 decimals, the digits a line holds) and its unit conversions.
// Element sets it reads give the same model bit for bit. Columns: jd, fr,
// epoch (days from 1949 December 31 0h), bstar, ndot, nddot [rad/min^k],
// ecco, argpo, inclo, mo, no_kozai [rad/min], nodeo.
inline void sgp4init_row(const TleFields& f, double row[12]) noexcept {
    constexpr double pi = 3.14159265358979323846;
    constexpr double xpdotp = 1440.0 / (2.0 * pi);
    constexpr double deg2rad = pi / 180.0;
    const long y = f.epoch_year - 1;
    const double jan1 = 1721425.5 + 365.0 * y + static_cast<double>(y / 4 - y / 100 + y / 400);
    const double dayofyr = std::floor(f.epoch_day);
    double jd = jan1 + (dayofyr - 1.0);
    double temp = (f.epoch_day - dayofyr) * 24.0;
    const double hr = std::floor(temp);
    temp = (temp - hr) * 60.0;
    const double minute = std::floor(temp);
    const double sec = (temp - minute) * 60.0;
    double fr = (sec + minute * 60.0 + hr * 3600.0) / 86400.0;
    if (std::fabs(fr) > 1.0) {
        const double whole = std::floor(fr);
        jd += whole;
        fr -= whole;
    }
    fr = std::floor(fr * 1e8 + 0.5) / 1e8;
    row[0] = jd;
    row[1] = fr;
    row[2] = jd + fr - 2433281.5;
    row[3] = f.bstar_mantissa * std::pow(10.0, f.bstar_exponent);
    row[4] = f.ndot / (xpdotp * 1440.0);
    row[5] = f.nddot_mantissa * std::pow(10.0, f.nddot_exponent) / (xpdotp * 1440.0 * 1440);
    row[6] = f.ecc;
    row[7] = f.arp * deg2rad;
    row[8] = f.inc * deg2rad;
    row[9] = f.mea * deg2rad;
    row[10] = f.mnm / xpdotp;
    row[11] = f.raa * deg2rad;
}

}  // namespace velarion::propagators::analytical::sgp4::kernels

#endif
