// Floating-point conversions for the raw writers, exact as glibc's: the binary value is turned
// into its complete decimal expansion in a big integer on the stack, rounded to nearest with
// ties to even (glibc's default rounding mode), and printed. No allocation, no locale.
//
// Stack: the big integer holds every digit the type can have, 88 limbs (352 bytes) for double
// and about 1290 (5 KB) for an 80-bit or 128-bit long double. Time grows with the digits of the
// exact value: microseconds for double denormals, milliseconds for the tiniest long doubles.
#include <cstring>
#include <limits>

#include "signal_safe_format.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "floating-point layouts are read little-endian");

namespace kovalog_internal {
namespace {

using u128 = unsigned __int128;

constexpr std::uint32_t kBase = 1000000000;
constexpr std::uint32_t kPow10[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// value = mantissa * 2^exponent exactly; the mantissa as stored, integer bit included.
struct FloatParts {
    bool negative = false, inf = false, nan = false;
    u128 mantissa = 0;
    int exponent = 0;
};

template <typename T>
FloatParts take_apart(T value)
{
    constexpr int digits = std::numeric_limits<T>::digits;
    constexpr int bias = std::numeric_limits<T>::max_exponent - 1;
    constexpr int stored_bits = digits == 64 ? 80 : static_cast<int>(sizeof(T)) * 8;
    constexpr int fraction_bits = digits == 64 ? 64 : digits - 1;  // the 80-bit format stores its integer bit
    static_assert(digits == 53 || digits == 64 || digits == 113, "an IEEE binary64, x87 or binary128 layout");
    u128 bits = 0;
    std::memcpy(&bits, &value, stored_bits / 8);
    FloatParts parts;
    parts.negative = (bits >> (stored_bits - 1)) & 1;
    const int biased = static_cast<int>(bits >> fraction_bits) & (2 * bias + 1);
    const u128 fraction = bits & ((u128{1} << fraction_bits) - 1);
    if (biased == 2 * bias + 1) {
        // The 80-bit format's integer bit is set in an infinity; only the bits below it count.
        (fraction << (128 - digits + 1) == 0 ? parts.inf : parts.nan) = true;
        return parts;
    }
    parts.mantissa = (digits == 64 || biased == 0) ? fraction : fraction | (u128{1} << fraction_bits);
    parts.exponent = (biased == 0 ? 1 : biased) - bias - (digits - 1);
    return parts;
}

template <typename T>
constexpr int limbs_for()
{
    using L = std::numeric_limits<T>;
    constexpr long large = L::max_exponent * 30103L / 100000 + 1;                              // 2^max
    constexpr long small = (L::digits * 30103L - (L::min_exponent - L::digits) * 69898L) / 100000 + 1;  // m*5^k
    return static_cast<int>(((large > small ? large : small) + 8) / 9 + 2);
}

// A non-negative integer N in base 10^9, least significant limb first. With `point` it stands
// for N / 10^point; digit positions count from the least significant (position 0).
template <int Limbs>
class BigDecimal {
public:
    explicit BigDecimal(u128 value)
    {
        for (; value >> 64 != 0; value /= kBase) limb_[n_++] = static_cast<std::uint32_t>(value % kBase);
        for (auto v = static_cast<std::uint64_t>(value); v != 0; v /= kBase) limb_[n_++] = static_cast<std::uint32_t>(v % kBase);
    }
    void multiply(std::uint32_t factor)
    {
        std::uint64_t carry = 0;
        for (int i = 0; i < n_; ++i) {
            carry += std::uint64_t{limb_[i]} * factor;
            limb_[i] = static_cast<std::uint32_t>(carry % kBase);
            carry /= kBase;
        }
        for (; carry != 0; carry /= kBase) limb_[n_++] = static_cast<std::uint32_t>(carry % kBase);
    }
    void times_two_to(int k)
    {
        for (; k > 0; k -= 29) multiply(1u << (k < 29 ? k : 29));
    }
    void times_five_to(int k)
    {
        constexpr std::uint32_t kPow5[14] = {1, 5, 25, 125, 625, 3125, 15625, 78125, 390625, 1953125, 9765625,
                                             48828125, 244140625, 1220703125};
        for (; k >= 13; k -= 13) multiply(kPow5[13]);
        if (k > 0) multiply(kPow5[k]);
    }
    bool zero() const { return n_ == 0; }
    std::int64_t digit_count() const
    {
        if (n_ == 0) return 0;
        int top = 1;
        while (top < 9 && limb_[n_ - 1] >= kPow10[top]) ++top;
        return std::int64_t{9} * (n_ - 1) + top;
    }
    int digit(std::int64_t pos) const
    {
        if (pos < 0 || pos >= std::int64_t{9} * n_) return 0;
        return static_cast<int>(limb_[pos / 9] / kPow10[pos % 9] % 10);
    }
    bool nonzero_below(std::int64_t pos) const
    {
        std::int64_t whole = pos / 9 < n_ ? pos / 9 : n_;
        for (std::int64_t i = 0; i < whole; ++i)
            if (limb_[i] != 0) return true;
        return whole < n_ && limb_[whole] % kPow10[pos % 9] != 0;
    }
    std::int64_t lowest_nonzero() const
    {
        int i = 0;
        while (limb_[i] == 0) ++i;
        std::int64_t pos = std::int64_t{9} * i;
        for (std::uint32_t v = limb_[i]; v % 10 == 0; v /= 10) ++pos;
        return pos;
    }
    // The nine digits of limb i, most significant first.
    void limb_text(std::int64_t i, char *text) const
    {
        std::uint32_t v = i < n_ ? limb_[i] : 0;
        for (int j = 8; j >= 0; --j, v /= 10) text[j] = static_cast<char>('0' + v % 10);
    }
    // Keeps the digits from position `pos` up, rounded to nearest, ties to even.
    void round_at(std::int64_t pos)
    {
        const int half = digit(pos - 1);
        const bool up = half > 5 || (half == 5 && (nonzero_below(pos - 1) || (digit(pos) & 1) != 0));
        if (pos >= std::int64_t{9} * n_) {
            n_ = 0;
        } else {
            for (std::int64_t i = 0; i < pos / 9; ++i) limb_[i] = 0;
            limb_[pos / 9] -= limb_[pos / 9] % kPow10[pos % 9];
        }
        if (up) {
            int i = static_cast<int>(pos / 9);
            while (n_ <= i) limb_[n_++] = 0;
            limb_[i] += kPow10[pos % 9];
            for (; limb_[i] >= kBase; ++i) {
                limb_[i] -= kBase;
                if (i + 1 == n_) limb_[n_++] = 0;
                ++limb_[i + 1];
            }
        }
        while (n_ > 0 && limb_[n_ - 1] == 0) --n_;
    }

private:
    std::uint32_t limb_[Limbs];
    int n_ = 0;
};

// `count` digits from position `from` down; positions below 0 are zeros.
template <typename Digits>
void emit_digits(FormatSink &out, const Digits &n, std::int64_t from, std::int64_t count)
{
    char text[9];
    for (std::int64_t limb = -1; count > 0 && from >= 0 && !out.full(); --count, --from) {
        if (from / 9 != limb) n.limb_text(limb = from / 9, text);
        out.put(text[8 - from % 9]);
    }
    out.repeat('0', count);
}

int sign_prefix(const Conversion &conv, bool negative, char *prefix)
{
    if (negative) prefix[0] = '-';
    else if (conv.plus) prefix[0] = '+';
    else if (conv.space) prefix[0] = ' ';
    else return 0;
    return 1;
}

int decimal_length(std::int64_t v)
{
    int len = 1;
    for (; v >= 10; v /= 10) ++len;
    return len;
}

void emit_exponent(FormatSink &out, char letter, std::int64_t exponent, int min_digits)
{
    out.put(letter);
    out.put(exponent < 0 ? '-' : '+');
    std::int64_t magnitude = exponent < 0 ? -exponent : exponent;
    char digits[24];
    int n = 0;
    for (; magnitude != 0 || n < min_digits; magnitude /= 10) digits[n++] = static_cast<char>('0' + magnitude % 10);
    while (n > 0) out.put(digits[--n]);
}

// f F e E g G
template <typename T>
void format_decimal(FormatSink &out, const Conversion &conv, const FloatParts &parts)
{
    u128 mantissa = parts.mantissa;
    int exponent = parts.exponent;
    if (mantissa == 0) exponent = 0;
    for (; mantissa != 0 && (mantissa & 1) == 0; mantissa >>= 1) ++exponent;  // fewer digits to carry
    BigDecimal<limbs_for<T>()> n(mantissa);
    std::int64_t point = 0;
    if (exponent > 0) n.times_two_to(exponent);
    if (exponent < 0) n.times_five_to(-exponent), point = -exponent;

    const char kind = static_cast<char>(conv.conversion | 0x20);
    const bool upper = conv.conversion != kind;
    std::int64_t precision = conv.precision < 0 ? 6 : conv.precision;
    bool scientific = kind == 'e';
    bool strip = false;
    if (kind == 'g') {
        const std::int64_t significant = precision == 0 ? 1 : precision;
        const std::int64_t x_before = n.digit_count() - 1 - point;
        const bool fixed_before = !n.zero() && significant > x_before && x_before >= -4;
        if (n.digit_count() > significant) n.round_at(n.digit_count() - significant);
        const std::int64_t x = n.zero() ? 0 : n.digit_count() - 1 - point;
        scientific = !(significant > x && x >= -4);
        precision = scientific ? significant - 1 : significant - 1 - x;
        // glibc keeps the fixed style's digit count when rounding up carries the value into
        // the exponent style (999999.5 with "%#g" gives "1.e+06"): so do we.
        if (scientific && fixed_before) precision = 0;
        strip = !conv.alt;
    } else if (scientific) {
        if (n.digit_count() > precision + 1) n.round_at(n.digit_count() - precision - 1);
    } else if (point > precision) {
        n.round_at(point - precision);
    }

    const std::int64_t top = n.zero() ? point + 1 : n.digit_count();  // one above the first digit
    std::int64_t lead_from, lead_count, fraction;
    if (scientific) {
        lead_from = top - 1, lead_count = 1;
        fraction = strip ? (n.zero() ? 0 : top - 1 - n.lowest_nonzero()) : precision;
    } else {
        lead_from = top > point ? top - 1 : point, lead_count = lead_from - point + 1;
        fraction = strip ? (n.zero() ? 0 : point - n.lowest_nonzero()) : precision;
    }
    if (fraction > precision) fraction = precision;
    if (fraction < 0) fraction = 0;
    const bool dot = fraction > 0 || conv.alt;
    const std::int64_t exponent10 = top - 1 - point;
    const int exponent_digits = decimal_length(exponent10 < 0 ? -exponent10 : exponent10);
    const std::int64_t length = lead_count + dot + fraction + (scientific ? 2 + (exponent_digits < 2 ? 2 : exponent_digits) : 0);

    char prefix[1];
    const int prefix_len = sign_prefix(conv, parts.negative, prefix);
    emit_field(out, conv, prefix, prefix_len, 0, length, true, [&](FormatSink &o) {
        emit_digits(o, n, lead_from, lead_count);
        if (dot) o.put('.');
        emit_digits(o, n, lead_from - lead_count, fraction);
        if (scientific) emit_exponent(o, upper ? 'E' : 'e', exponent10, 2);
    });
}

// a A: a leading hex digit, the rest of the mantissa in hex digits, a binary exponent, laid
// out as glibc does for each format (1.xxx for double and binary128, the 80-bit format's top
// four bits as the leading digit).
template <typename T>
void format_hex(FormatSink &out, const Conversion &conv, const FloatParts &parts)
{
    constexpr int kDigits = (std::numeric_limits<T>::digits - 1) / 4;
    const bool upper = conv.conversion == 'A';
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    u128 fraction = parts.mantissa & ((u128{1} << (4 * kDigits)) - 1);
    unsigned lead = static_cast<unsigned>(parts.mantissa >> (4 * kDigits));
    std::int64_t exponent = parts.mantissa == 0 ? 0 : parts.exponent + 4 * kDigits;
    std::int64_t held = kDigits;  // digits in `fraction`
    std::int64_t shown = conv.precision;
    if (shown < 0) {
        for (shown = kDigits; shown > 0 && ((fraction >> (4 * (kDigits - shown))) & 0xf) == 0;) --shown;
    } else if (shown < kDigits) {
        const int dropped = 4 * static_cast<int>(kDigits - shown);
        const u128 rest = fraction & ((u128{1} << dropped) - 1), half = u128{1} << (dropped - 1);
        fraction >>= dropped;
        held = shown;
        const bool odd = (shown > 0 ? static_cast<unsigned>(fraction) : lead) & 1;
        if (rest > half || (rest == half && odd)) {
            if (++fraction >> (4 * shown) != 0) {
                fraction = 0;
                if (++lead > 15) lead = 1, exponent += 4;
            }
        }
    }
    const bool dot = shown > 0 || conv.alt;
    const std::int64_t length = 1 + dot + shown + 2 + decimal_length(exponent < 0 ? -exponent : exponent);
    char prefix[3];
    int prefix_len = sign_prefix(conv, parts.negative, prefix);
    prefix[prefix_len++] = '0';
    prefix[prefix_len++] = upper ? 'X' : 'x';
    emit_field(out, conv, prefix, prefix_len, 0, length, true, [&](FormatSink &o) {
        o.put(set[lead]);
        if (dot) o.put('.');
        for (std::int64_t i = 0; i < shown && i < held; ++i) o.put(set[(fraction >> (4 * (held - 1 - i))) & 0xf]);
        if (shown > held) o.repeat('0', shown - held);
        emit_exponent(o, upper ? 'P' : 'p', exponent, 1);
    });
}

template <typename T>
void format_float(FormatSink &out, const Conversion &conv, T value)
{
    const FloatParts parts = take_apart(value);
    const bool upper = conv.conversion >= 'A' && conv.conversion <= 'Z';
    if (parts.inf || parts.nan) {
        char prefix[1];
        const int prefix_len = sign_prefix(conv, parts.negative, prefix);
        const char *text = parts.inf ? (upper ? "INF" : "inf") : (upper ? "NAN" : "nan");
        emit_field(out, conv, prefix, prefix_len, 0, 3, false, [&](FormatSink &o) { o.append(text, 3); });
    } else if ((conv.conversion | 0x20) == 'a') {
        format_hex<T>(out, conv, parts);
    } else {
        format_decimal<T>(out, conv, parts);
    }
}

}  // namespace

void format_double(FormatSink &out, const Conversion &conv, double value) { format_float(out, conv, value); }

void format_long_double(FormatSink &out, const Conversion &conv, long double value)
{
    format_float(out, conv, value);
}

}  // namespace kovalog_internal
