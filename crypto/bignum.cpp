#include "bignum.h"

// Codec, comparison, addition and subtraction (see bignum.h for the layout).
namespace bn {

bool decode(Digit *a, int digits, const std::uint8_t *bytes, std::uint32_t length)
{
    bool fits = true;
    std::int64_t j = std::int64_t(length) - 1;
    for (int i = 0; i < digits; ++i) {
        Digit d = 0;
        for (int shift = 0; shift < kDigitBits && j >= 0; shift += 8, --j)
            d |= Digit(bytes[j]) << shift;
        a[i] = d;
    }
    // Whatever is left must be leading zero bytes.
    for (; j >= 0; --j)
        fits = fits && bytes[j] == 0;
    return fits;
}

void encode(std::uint8_t *bytes, std::uint32_t length, const Digit *a, int digits)
{
    std::int64_t j = std::int64_t(length) - 1;
    for (int i = 0; i < digits && j >= 0; ++i) {
        Digit d = a[i];
        for (int shift = 0; shift < kDigitBits && j >= 0; shift += 8, --j)
            bytes[j] = std::uint8_t(d >> shift);
    }
    for (; j >= 0; --j)
        bytes[j] = 0;
}

void assignZero(Digit *a, int digits)
{
    for (int i = 0; i < digits; ++i)
        a[i] = 0;
}

void assign(Digit *a, const Digit *b, int digits)
{
    for (int i = 0; i < digits; ++i)
        a[i] = b[i];
}

int significantDigits(const Digit *a, int digits)
{
    while (digits > 0 && a[digits - 1] == 0)
        --digits;
    return digits;
}

int compare(const Digit *a, const Digit *b, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        if (a[i] != b[i])
            return a[i] > b[i] ? 1 : -1;
    }
    return 0;
}

Digit add(Digit *a, const Digit *b, const Digit *c, int digits)
{
    Wide carry = 0;
    for (int i = 0; i < digits; ++i) {
        carry += Wide(b[i]) + c[i];
        a[i] = Digit(carry);
        carry >>= kDigitBits;
    }
    return Digit(carry);
}

Digit subtract(Digit *a, const Digit *b, const Digit *c, int digits)
{
    Digit borrow = 0;
    for (int i = 0; i < digits; ++i) {
        const Wide difference = Wide(b[i]) - c[i] - borrow;
        a[i] = Digit(difference);
        borrow = Digit(difference >> 63); // 1 when the difference wrapped
    }
    return borrow;
}

} // namespace bn
