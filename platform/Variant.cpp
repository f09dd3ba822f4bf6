#include "platform/Variant.h"

#include "platform/Text.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Int128 = __int128;
using UInt128 = unsigned __int128;

// ---------------------------------------------------------------------------
// BSTR: a 32-bit byte length, the characters, a 16-bit null. The pointer
// handed out points at the characters.

constexpr std::uint32_t kMaxBstrChars = (0xFFFFFFFFu - 8u) / 2u;

char* BlockOf(BSTR text)
{
    return reinterpret_cast<char*>(text) - sizeof(std::uint32_t);
}

// ---------------------------------------------------------------------------
// Types

bool IsSupportedType(VARTYPE vt)
{
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_DATE:
        case VT_BSTR:
        case VT_ERROR:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool IsIntegerType(VARTYPE vt)
{
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

struct IntegerRange {
    Int128 min;
    Int128 max;
    int bits;
    bool isSigned;
};

IntegerRange RangeOf(VARTYPE vt)
{
    switch (vt) {
        case VT_I1:
            return {-128, 127, 8, true};
        case VT_UI1:
            return {0, 255, 8, false};
        case VT_I2:
            return {-32768, 32767, 16, true};
        case VT_UI2:
            return {0, 65535, 16, false};
        case VT_I4:
        case VT_INT:
            return {-(Int128(1) << 31), (Int128(1) << 31) - 1, 32, true};
        case VT_UI4:
        case VT_UINT:
            return {0, (Int128(1) << 32) - 1, 32, false};
        case VT_I8:
            return {-(Int128(1) << 63), (Int128(1) << 63) - 1, 64, true};
        default:
            return {0, (Int128(1) << 64) - 1, 64, false};  // VT_UI8
    }
}

Int128 IntegerOf(const VARIANT& v)
{
    switch (v.vt) {
        case VT_I1:
            return v.cVal;
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return v.lVal;
        case VT_INT:
            return v.intVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UINT:
            return v.uintVal;
        case VT_I8:
            return v.llVal;
        default:
            return v.ullVal;  // VT_UI8
    }
}

void StoreInteger(VARIANT* out, VARTYPE vt, Int128 value)
{
    out->vt = vt;
    switch (vt) {
        case VT_I1:
            out->cVal = static_cast<std::int8_t>(value);
            break;
        case VT_UI1:
            out->bVal = static_cast<std::uint8_t>(value);
            break;
        case VT_I2:
            out->iVal = static_cast<std::int16_t>(value);
            break;
        case VT_UI2:
            out->uiVal = static_cast<std::uint16_t>(value);
            break;
        case VT_I4:
            out->lVal = static_cast<std::int32_t>(value);
            break;
        case VT_INT:
            out->intVal = static_cast<std::int32_t>(value);
            break;
        case VT_UI4:
            out->ulVal = static_cast<std::uint32_t>(value);
            break;
        case VT_UINT:
            out->uintVal = static_cast<std::uint32_t>(value);
            break;
        case VT_I8:
            out->llVal = static_cast<std::int64_t>(value);
            break;
        default:
            out->ullVal = static_cast<std::uint64_t>(value);
            break;
    }
}

double RealOf(const VARIANT& v)
{
    switch (v.vt) {
        case VT_R4:
            return v.fltVal;
        case VT_DATE:
            return v.date;
        default:
            return v.dblVal;
    }
}

bool IsRealType(VARTYPE vt)
{
    return vt == VT_R4 || vt == VT_R8 || vt == VT_DATE;
}

// Round half to even, the rounding of every real-to-integer conversion.
double RoundHalfEven(double d)
{
    const double down = std::floor(d);
    const double diff = d - down;  // exact: no fraction survives above 2^52
    if (diff > 0.5) return down + 1.0;
    if (diff < 0.5) return down;
    return std::fmod(down, 2.0) == 0.0 ? down : down + 1.0;
}

// ---------------------------------------------------------------------------
// Numbers in text

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

bool IsDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// A decimal number: significant digits (no leading or trailing zeros) times
// ten to the exponent. No digits means zero.
struct Decimal {
    bool negative = false;
    std::string digits;
    std::int64_t exponent = 0;

    // Number of digits before the decimal point (may be negative or zero).
    std::int64_t IntegerDigits() const { return static_cast<std::int64_t>(digits.size()) + exponent; }
};

bool ParseDecimal(std::u16string_view text, Decimal* out)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && IsBlank(text[i])) ++i;
    Decimal d;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        d.negative = text[i] == u'-';
        ++i;
    }
    std::string all;
    std::int64_t fractionDigits = 0;
    bool any = false;
    while (i < n && IsDigit(text[i])) {
        all.push_back(static_cast<char>(text[i]));
        any = true;
        ++i;
    }
    if (i < n && text[i] == u'.') {
        ++i;
        while (i < n && IsDigit(text[i])) {
            all.push_back(static_cast<char>(text[i]));
            ++fractionDigits;
            any = true;
            ++i;
        }
    }
    if (!any) return false;
    std::int64_t exponent = 0;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < n && (text[i] == u'+' || text[i] == u'-')) {
            negativeExponent = text[i] == u'-';
            ++i;
        }
        if (i >= n || !IsDigit(text[i])) return false;
        while (i < n && IsDigit(text[i])) {
            if (exponent < 100000000) exponent = exponent * 10 + (text[i] - u'0');
            ++i;
        }
        if (negativeExponent) exponent = -exponent;
    }
    while (i < n && IsBlank(text[i])) ++i;
    if (i != n) return false;

    std::size_t first = all.find_first_not_of('0');
    if (first == std::string::npos) {
        *out = d;  // zero
        return true;
    }
    std::size_t last = all.find_last_not_of('0');
    d.digits = all.substr(first, last - first + 1);
    d.exponent = exponent - fractionDigits + static_cast<std::int64_t>(all.size() - 1 - last);
    *out = d;
    return true;
}

// Exact: the decimal rounded half to even, then checked against the range.
HRESULT DecimalToInteger(const Decimal& d, const IntegerRange& range, Int128* out)
{
    UInt128 magnitude = 0;
    if (!d.digits.empty()) {
        const std::int64_t integerDigits = d.IntegerDigits();
        if (integerDigits > 25) return DISP_E_OVERFLOW;
        const auto n = static_cast<std::int64_t>(d.digits.size());
        for (std::int64_t k = 0; k < integerDigits; ++k) {
            magnitude = magnitude * 10 + static_cast<unsigned>(k < n ? d.digits[k] - '0' : 0);
        }
        if (integerDigits >= 0 && integerDigits < n) {
            const char next = d.digits[integerDigits];
            const bool moreAfter = integerDigits + 1 < n;  // trailing zeros are stripped
            if (next > '5' || (next == '5' && (moreAfter || (magnitude & 1) != 0))) {
                ++magnitude;
            }
        }
    }
    const Int128 value = d.negative ? -static_cast<Int128>(magnitude) : static_cast<Int128>(magnitude);
    if (value < range.min || value > range.max) return DISP_E_OVERFLOW;
    *out = value;
    return S_OK;
}

HRESULT DecimalToReal(const Decimal& d, double* out)
{
    if (d.digits.empty()) {
        *out = d.negative ? -0.0 : 0.0;
        return S_OK;
    }
    if (d.IntegerDigits() > 400) return DISP_E_OVERFLOW;
    if (d.IntegerDigits() < -400) {
        *out = d.negative ? -0.0 : 0.0;
        return S_OK;
    }
    std::string ascii = d.digits + "e" + std::to_string(d.exponent);
    double value = 0.0;
    const auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        if (d.IntegerDigits() > 0) return DISP_E_OVERFLOW;
        value = 0.0;  // too small for a double: zero
    } else if (result.ec != std::errc()) {
        return DISP_E_TYPEMISMATCH;
    }
    *out = d.negative ? -value : value;
    return S_OK;
}

bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i];
        char16_t y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
        if (x != y) return false;
    }
    return true;
}

std::u16string_view TextOf(const VARIANT& v)
{
    return std::u16string_view(v.bstrVal == nullptr ? u"" : v.bstrVal, SysStringLen(v.bstrVal));
}

std::u16string AsciiToUtf16(std::string_view ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::u16string FormatInteger(Int128 value)
{
    const bool negative = value < 0;
    UInt128 magnitude = negative ? static_cast<UInt128>(-value) : static_cast<UInt128>(value);
    char buffer[48];
    char* p = buffer + sizeof(buffer);
    do {
        *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--p = '-';
    return AsciiToUtf16(std::string_view(p, static_cast<std::size_t>(buffer + sizeof(buffer) - p)));
}

// As "%.*G": significant digits, exponent form only when needed ("1E+20").
std::u16string FormatReal(double value, int precision)
{
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, precision);
    std::string text(buffer, result.ptr);
    for (char& c : text) {
        if (c == 'e') c = 'E';
    }
    if (text == "-0") text = "0";  // no negative zero in text
    return AsciiToUtf16(text);
}

// ---------------------------------------------------------------------------
// Calendar (proleptic Gregorian), days counted from 1970-01-01.

constexpr std::int64_t kDateEpochUnixDays = -25569;  // 1899-12-30
constexpr std::int64_t kUnitsPerDay = 864000000000;  // 100 ns units
constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::uint64_t kFileTimeOfDateEpoch = 94353120000000000ull;  // 1899-12-30 in FILETIME units

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

bool IsLeapYear(std::int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(std::int64_t y, unsigned m)
{
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

bool IsDateInRange(DATE d)
{
    return !std::isnan(d) && d > kVariantDateMin - 1.0 && d < kVariantDateMax + 1.0;
}

// A DATE as whole days since 1899-12-30 (floored) and the time of day in
// units of 1/unitsPerDay, rounded. The DATE's fraction counts forward from
// the midnight of its integer part even when that is negative.
bool SplitDate(DATE date, std::int64_t unitsPerDay, std::int64_t* day, std::int64_t* units)
{
    if (!IsDateInRange(date)) return false;
    const double whole = std::trunc(date);
    const double fraction = std::fabs(date - whole);
    const std::int64_t total = static_cast<std::int64_t>(whole) * unitsPerDay +
                               std::llround(fraction * static_cast<double>(unitsPerDay));
    *day = FloorDiv(total, unitsPerDay);
    *units = total - *day * unitsPerDay;
    return *day >= static_cast<std::int64_t>(kVariantDateMin) &&
           *day <= static_cast<std::int64_t>(kVariantDateMax);
}

DATE JoinDate(std::int64_t day, double fractionOfDay)
{
    return day >= 0 ? static_cast<double>(day) + fractionOfDay : static_cast<double>(day) - fractionOfDay;
}

// "M/D/YYYY h:mm:ss AM"; date only at midnight, time only on day 0.
HRESULT FormatDate(DATE date, std::u16string* out)
{
    std::int64_t day = 0;
    std::int64_t seconds = 0;
    if (!SplitDate(date, 86400, &day, &seconds)) return E_INVALIDARG;
    std::string text;
    if (day != 0) {
        std::int64_t y = 0;
        unsigned m = 0;
        unsigned d = 0;
        CivilFromDays(day + kDateEpochUnixDays, &y, &m, &d);
        text = std::to_string(m) + "/" + std::to_string(d) + "/" + std::to_string(y);
    }
    if (day == 0 || seconds != 0) {
        const auto hour = static_cast<unsigned>(seconds / 3600);
        const auto minute = static_cast<unsigned>(seconds / 60 % 60);
        const auto second = static_cast<unsigned>(seconds % 60);
        char buffer[32];
        std::snprintf(buffer, sizeof(buffer), "%u:%02u:%02u %s", hour % 12 == 0 ? 12 : hour % 12, minute,
                      second, hour < 12 ? "AM" : "PM");
        if (!text.empty()) text += ' ';
        text += buffer;
    }
    *out = AsciiToUtf16(text);
    return S_OK;
}

// Reads the dates and times that FormatDate writes, ISO dates ("2024-03-05",
// "2024-03-05T14:07:09") and times alone ("14:07", "2:07:09 PM").
class CDateParser {
   public:
    explicit CDateParser(std::u16string_view text) : m_text(text) {}

    HRESULT Parse(DATE* out)
    {
        SkipBlanks();
        std::int64_t year = 0;
        unsigned month = 0;
        unsigned day = 0;
        const bool hasDate = ParseDate(&year, &month, &day);
        unsigned hour = 0;
        unsigned minute = 0;
        unsigned second = 0;
        unsigned millisecond = 0;
        bool hasTime = false;
        if (hasDate) {
            const std::size_t before = m_pos;
            SkipBlanks();
            if (!AtEnd()) {
                if (m_pos == before) {
                    if (Peek() != u'T') return DISP_E_TYPEMISMATCH;
                    ++m_pos;
                }
                if (!ParseTime(&hour, &minute, &second, &millisecond)) return DISP_E_TYPEMISMATCH;
                hasTime = true;
            }
        } else {
            if (!ParseTime(&hour, &minute, &second, &millisecond)) return DISP_E_TYPEMISMATCH;
            hasTime = true;
        }
        SkipBlanks();
        if (!AtEnd()) return DISP_E_TYPEMISMATCH;

        std::int64_t days = 0;
        if (hasDate) {
            if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
                day > DaysInMonth(year, month)) {
                return DISP_E_TYPEMISMATCH;
            }
            days = DaysFromCivil(year, month, day) - kDateEpochUnixDays;
        }
        double fraction = 0.0;
        if (hasTime) {
            fraction = (hour * 3600.0 + minute * 60.0 + second + millisecond / 1000.0) / 86400.0;
        }
        *out = JoinDate(days, fraction);
        return S_OK;
    }

   private:
    bool AtEnd() const { return m_pos >= m_text.size(); }
    char16_t Peek() const { return AtEnd() ? u'\0' : m_text[m_pos]; }

    void SkipBlanks()
    {
        while (!AtEnd() && IsBlank(m_text[m_pos])) ++m_pos;
    }

    bool ReadNumber(unsigned maxDigits, std::int64_t* value, unsigned* digits)
    {
        *value = 0;
        *digits = 0;
        while (!AtEnd() && IsDigit(m_text[m_pos]) && *digits < maxDigits) {
            *value = *value * 10 + (m_text[m_pos] - u'0');
            ++*digits;
            ++m_pos;
        }
        return *digits > 0 && (AtEnd() || !IsDigit(m_text[m_pos]));
    }

    bool ParseDate(std::int64_t* year, unsigned* month, unsigned* day)
    {
        const std::size_t start = m_pos;
        std::int64_t a = 0;
        std::int64_t b = 0;
        std::int64_t c = 0;
        unsigned na = 0;
        unsigned nb = 0;
        unsigned nc = 0;
        auto isSeparator = [](char16_t ch) { return ch == u'/' || ch == u'-'; };
        if (!ReadNumber(4, &a, &na) || !isSeparator(Peek())) {
            m_pos = start;
            return false;
        }
        const char16_t separator = Peek();
        ++m_pos;
        if (!ReadNumber(2, &b, &nb) || Peek() != separator) {
            m_pos = start;
            return false;
        }
        ++m_pos;
        if (!ReadNumber(4, &c, &nc)) {
            m_pos = start;
            return false;
        }
        if (na == 4) {  // year first
            if (nc > 2) {
                m_pos = start;
                return false;
            }
            *year = a;
            *month = static_cast<unsigned>(b);
            *day = static_cast<unsigned>(c);
        } else {  // month/day/year
            if (na > 2) {
                m_pos = start;
                return false;
            }
            *month = static_cast<unsigned>(a);
            *day = static_cast<unsigned>(b);
            *year = nc <= 2 ? (c < 30 ? 2000 + c : 1900 + c) : c;  // two-digit years as Windows reads them
        }
        return true;
    }

    bool ParseTime(unsigned* hour, unsigned* minute, unsigned* second, unsigned* millisecond)
    {
        std::int64_t h = 0;
        std::int64_t mi = 0;
        std::int64_t s = 0;
        unsigned digits = 0;
        if (!ReadNumber(2, &h, &digits) || Peek() != u':') return false;
        ++m_pos;
        if (!ReadNumber(2, &mi, &digits)) return false;
        if (Peek() == u':') {
            ++m_pos;
            if (!ReadNumber(2, &s, &digits)) return false;
            if (Peek() == u'.') {
                ++m_pos;
                std::int64_t fraction = 0;
                unsigned fractionDigits = 0;
                if (!ReadNumber(3, &fraction, &fractionDigits)) return false;
                while (fractionDigits < 3) {
                    fraction *= 10;
                    ++fractionDigits;
                }
                *millisecond = static_cast<unsigned>(fraction);
            }
        }
        SkipBlanks();
        // AM/PM: ignored past 12 o'clock, as Windows does.
        const char16_t marker = Peek();
        if (marker == u'A' || marker == u'a' || marker == u'P' || marker == u'p') {
            const bool pm = marker == u'P' || marker == u'p';
            ++m_pos;
            if (Peek() == u'M' || Peek() == u'm') ++m_pos;
            if (pm && h < 12) h += 12;
            if (!pm && h == 12) h = 0;
        }
        if (h > 23 || mi > 59 || s > 59) return false;
        *hour = static_cast<unsigned>(h);
        *minute = static_cast<unsigned>(mi);
        *second = static_cast<unsigned>(s);
        return true;
    }

    std::u16string_view m_text;
    std::size_t m_pos = 0;
};

// ---------------------------------------------------------------------------
// Conversions by target kind. `out` starts empty; nothing is allocated on failure.

HRESULT ToInteger(const VARIANT& src, VARTYPE vt, VARIANT* out)
{
    const IntegerRange range = RangeOf(vt);
    Int128 value = 0;
    if (src.vt == VT_EMPTY) {
        value = 0;
    } else if (IsIntegerType(src.vt)) {
        value = IntegerOf(src);
    } else if (src.vt == VT_BOOL) {
        value = src.boolVal;
        if (!range.isSigned) {  // wraps: VARIANT_TRUE is 255, 65535, ...
            const auto bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(src.boolVal));
            value = range.bits == 64 ? static_cast<Int128>(bits)
                                     : static_cast<Int128>(bits & ((std::uint64_t(1) << range.bits) - 1));
        }
    } else if (IsRealType(src.vt)) {
        const double d = RealOf(src);
        if (std::isnan(d)) return DISP_E_OVERFLOW;
        const double r = RoundHalfEven(d);
        if (!(r >= static_cast<double>(range.min) && r < static_cast<double>(range.max + 1))) {
            return DISP_E_OVERFLOW;
        }
        value = static_cast<Int128>(r);
    } else if (src.vt == VT_BSTR) {
        Decimal d;
        if (!ParseDecimal(TextOf(src), &d)) return DISP_E_TYPEMISMATCH;
        const HRESULT hr = DecimalToInteger(d, range, &value);
        if (FAILED(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    if (value < range.min || value > range.max) return DISP_E_OVERFLOW;
    StoreInteger(out, vt, value);
    return S_OK;
}

HRESULT ToReal(const VARIANT& src, VARTYPE vt, VARIANT* out)
{
    double d = 0.0;
    float f = 0.0f;
    bool haveFloat = false;  // integers go to VT_R4 without a detour through double
    if (src.vt == VT_EMPTY) {
        d = 0.0;
    } else if (IsIntegerType(src.vt)) {
        const Int128 value = IntegerOf(src);
        if (value < 0) {
            d = static_cast<double>(static_cast<std::int64_t>(value));
            f = static_cast<float>(static_cast<std::int64_t>(value));
        } else {
            d = static_cast<double>(static_cast<std::uint64_t>(value));
            f = static_cast<float>(static_cast<std::uint64_t>(value));
        }
        haveFloat = true;
    } else if (src.vt == VT_BOOL) {
        d = src.boolVal;
    } else if (IsRealType(src.vt)) {
        d = RealOf(src);
    } else if (src.vt == VT_BSTR) {
        HRESULT hr = S_OK;
        if (vt == VT_DATE) {
            hr = CDateParser(TextOf(src)).Parse(&d);
        } else {
            Decimal decimal;
            if (!ParseDecimal(TextOf(src), &decimal)) return DISP_E_TYPEMISMATCH;
            hr = DecimalToReal(decimal, &d);
        }
        if (FAILED(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }

    if (vt == VT_R4) {
        if (!haveFloat) {
            if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
            f = static_cast<float>(d);
        }
        out->vt = VT_R4;
        out->fltVal = f;
    } else if (vt == VT_DATE) {
        if (!IsDateInRange(d)) return DISP_E_OVERFLOW;
        out->vt = VT_DATE;
        out->date = d;
    } else {
        out->vt = VT_R8;
        out->dblVal = d;
    }
    return S_OK;
}

HRESULT ParseBoolText(std::u16string_view text, VARIANT_BOOL* out)
{
    if (EqualsIgnoreAsciiCase(text, u"true") || text == u"#TRUE#") {
        *out = VARIANT_TRUE;
        return S_OK;
    }
    if (EqualsIgnoreAsciiCase(text, u"false") || text == u"#FALSE#") {
        *out = VARIANT_FALSE;
        return S_OK;
    }
    Decimal decimal;
    if (!ParseDecimal(text, &decimal)) return DISP_E_TYPEMISMATCH;
    double d = 0.0;
    const HRESULT hr = DecimalToReal(decimal, &d);
    if (FAILED(hr)) return hr;
    *out = d != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToBool(const VARIANT& src, VARIANT* out)
{
    bool value = false;
    if (src.vt == VT_EMPTY) {
        value = false;
    } else if (IsIntegerType(src.vt)) {
        value = IntegerOf(src) != 0;
    } else if (IsRealType(src.vt)) {
        value = RealOf(src) != 0.0;
    } else if (src.vt == VT_BSTR) {
        VARIANT_BOOL parsed = VARIANT_FALSE;
        const HRESULT hr = ParseBoolText(TextOf(src), &parsed);
        if (FAILED(hr)) return hr;
        value = parsed != VARIANT_FALSE;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    out->vt = VT_BOOL;
    out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToText(const VARIANT& src, std::uint16_t flags, VARIANT* out)
{
    std::u16string text;
    if (src.vt == VT_EMPTY) {
        text.clear();
    } else if (IsIntegerType(src.vt)) {
        text = FormatInteger(IntegerOf(src));
    } else if (src.vt == VT_BOOL) {
        if ((flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0) {
            text = src.boolVal != VARIANT_FALSE ? u"True" : u"False";
        } else {
            text = FormatInteger(src.boolVal);
        }
    } else if (src.vt == VT_R4) {
        text = FormatReal(src.fltVal, 7);
    } else if (src.vt == VT_R8) {
        text = FormatReal(src.dblVal, 15);
    } else if (src.vt == VT_DATE) {
        const HRESULT hr = FormatDate(src.date, &text);
        if (FAILED(hr)) return hr;
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size()));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = bstr;
    return S_OK;
}

HRESULT Coerce(const VARIANT& src, std::uint16_t flags, VARTYPE vt, VARIANT* out)
{
    if (src.vt == vt) {
        return VariantCopy(out, &src);
    }
    if (vt == VT_EMPTY || vt == VT_NULL) {
        if (src.vt == VT_ERROR || (vt == VT_EMPTY && src.vt == VT_NULL)) return DISP_E_TYPEMISMATCH;
        out->vt = vt;
        return S_OK;
    }
    if (src.vt == VT_NULL || src.vt == VT_ERROR || vt == VT_ERROR) {
        return DISP_E_TYPEMISMATCH;
    }
    if (IsIntegerType(vt)) return ToInteger(src, vt, out);
    if (IsRealType(vt)) return ToReal(src, vt, out);
    if (vt == VT_BOOL) return ToBool(src, out);
    return ToText(src, flags, out);  // VT_BSTR
}

}  // namespace

// ---------------------------------------------------------------------------

BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length)
{
    if (length > kMaxBstrChars) return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
    char* block = static_cast<char*>(std::malloc(sizeof(std::uint32_t) + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const auto byteLength = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &byteLength, sizeof(byteLength));
    BSTR result = reinterpret_cast<BSTR>(block + sizeof(std::uint32_t));
    if (text != nullptr) {
        std::memcpy(result, text, bytes);
    } else {
        std::memset(result, 0, bytes);
    }
    result[length] = 0;
    return result;
}

BSTR SysAllocString(const OLECHAR* text)
{
    if (text == nullptr) return nullptr;
    const std::size_t length = Utf16Length(text);
    if (length > kMaxBstrChars) return nullptr;
    return SysAllocStringLen(text, static_cast<std::uint32_t>(length));
}

void SysFreeString(BSTR text)
{
    if (text != nullptr) std::free(BlockOf(text));
}

std::uint32_t SysStringByteLen(BSTR text)
{
    if (text == nullptr) return 0;
    std::uint32_t byteLength = 0;
    std::memcpy(&byteLength, BlockOf(text), sizeof(byteLength));
    return byteLength;
}

std::uint32_t SysStringLen(BSTR text)
{
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

BSTR SysAllocStringUtf8(std::string_view utf8)
{
    const std::u16string wide = Utf8ToUtf16(utf8);
    if (wide.size() > kMaxBstrChars) return nullptr;
    return SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
}

std::string BstrToUtf8(BSTR text)
{
    if (text == nullptr) return std::string();
    return Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

void VariantInit(VARIANT* v)
{
    if (v != nullptr) std::memset(v, 0, sizeof(*v));
}

HRESULT VariantClear(VARIANT* v)
{
    if (v == nullptr) return E_INVALIDARG;
    if (!IsSupportedType(v->vt)) return DISP_E_BADVARTYPE;
    if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
    v->vt = VT_EMPTY;
    v->ullVal = 0;
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src)
{
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!IsSupportedType(src->vt)) return DISP_E_BADVARTYPE;
    if (dest == src) return S_OK;
    BSTR copy = nullptr;
    if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
        copy = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (copy == nullptr) return E_OUTOFMEMORY;
    }
    const HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        SysFreeString(copy);
        return hr;
    }
    *dest = *src;
    if (src->vt == VT_BSTR) dest->bstrVal = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, std::uint16_t flags, VARTYPE vt)
{
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!IsSupportedType(src->vt)) return DISP_E_BADVARTYPE;
    if (vt == VT_VARIANT) return DISP_E_TYPEMISMATCH;  // a type, but not one a value converts to
    if (!IsSupportedType(vt)) return DISP_E_BADVARTYPE;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Coerce(*src, flags, vt, &result);
    if (FAILED(hr)) return hr;
    hr = VariantClear(dest);  // src is no longer needed, so dest == src is fine
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *dest = result;
    return S_OK;
}

bool FileTimeCountToVariantDate(std::uint64_t fileTime, DATE* date)
{
    if (date == nullptr || fileTime > static_cast<std::uint64_t>(INT64_MAX)) return false;
    const std::int64_t relative =
        static_cast<std::int64_t>(fileTime) - static_cast<std::int64_t>(kFileTimeOfDateEpoch);
    const std::int64_t day = FloorDiv(relative, kUnitsPerDay);
    const std::int64_t units = relative - day * kUnitsPerDay;
    if (day > static_cast<std::int64_t>(kVariantDateMax)) return false;
    *date = JoinDate(day, static_cast<double>(units) / static_cast<double>(kUnitsPerDay));
    return true;
}

bool VariantDateToFileTimeCount(DATE date, std::uint64_t* fileTime)
{
    std::int64_t day = 0;
    std::int64_t ms = 0;
    if (fileTime == nullptr || !SplitDate(date, kMsPerDay, &day, &ms)) return false;
    const std::int64_t relative = day * kUnitsPerDay + ms * 10000;
    const std::int64_t absolute = relative + static_cast<std::int64_t>(kFileTimeOfDateEpoch);
    if (absolute < 0) return false;  // before 1601
    *fileTime = static_cast<std::uint64_t>(absolute);
    return true;
}

bool SystemTimeToVariantDate(const SYSTEMTIME& time, DATE* date)
{
    if (date == nullptr || time.wYear < 100 || time.wYear > 9999 || time.wMonth < 1 || time.wMonth > 12 ||
        time.wDay < 1 || time.wDay > DaysInMonth(time.wYear, time.wMonth) || time.wHour > 23 ||
        time.wMinute > 59 || time.wSecond > 59 || time.wMilliseconds > 999) {
        return false;
    }
    const std::int64_t day = DaysFromCivil(time.wYear, time.wMonth, time.wDay) - kDateEpochUnixDays;
    const double ms =
        ((time.wHour * 60.0 + time.wMinute) * 60.0 + time.wSecond) * 1000.0 + time.wMilliseconds;
    *date = JoinDate(day, ms / static_cast<double>(kMsPerDay));
    return true;
}

bool VariantDateToSystemTime(DATE date, SYSTEMTIME* time)
{
    std::int64_t day = 0;
    std::int64_t ms = 0;
    if (time == nullptr || !SplitDate(date, kMsPerDay, &day, &ms)) return false;
    std::int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    const std::int64_t unixDays = day + kDateEpochUnixDays;
    CivilFromDays(unixDays, &y, &m, &d);
    time->wYear = static_cast<std::uint16_t>(y);
    time->wMonth = static_cast<std::uint16_t>(m);
    time->wDay = static_cast<std::uint16_t>(d);
    time->wDayOfWeek = static_cast<std::uint16_t>(((unixDays % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    time->wHour = static_cast<std::uint16_t>(ms / 3600000);
    time->wMinute = static_cast<std::uint16_t>(ms / 60000 % 60);
    time->wSecond = static_cast<std::uint16_t>(ms / 1000 % 60);
    time->wMilliseconds = static_cast<std::uint16_t>(ms % 1000);
    return true;
}
