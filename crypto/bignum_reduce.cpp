#include "bignum.h"

// Reduction by long division in base 2^32 (see bignum.h for the layout).
namespace bn {
namespace {

int bitLength(Digit d)
{
    int bits = 0;
    for (; d; d >>= 1)
        ++bits;
    return bits;
}

// a = b << shift over `digits` digits (0 <= shift < 32); returns the bits shifted out.
Digit shiftLeft(Digit *a, const Digit *b, int shift, int digits)
{
    if (shift == 0) {
        assign(a, b, digits);
        return 0;
    }
    Digit carry = 0;
    for (int i = 0; i < digits; ++i) {
        const Digit d = b[i];
        a[i] = (d << shift) | carry;
        carry = d >> (kDigitBits - shift);
    }
    return carry;
}

// a = b >> shift over `digits` digits (0 <= shift < 32).
void shiftRight(Digit *a, const Digit *b, int shift, int digits)
{
    if (shift == 0) {
        assign(a, b, digits);
        return;
    }
    Digit carry = 0;
    for (int i = digits - 1; i >= 0; --i) {
        const Digit d = b[i];
        a[i] = (d >> shift) | carry;
        carry = d << (kDigitBits - shift);
    }
}

// a = a - q * d over `digits` digits; returns the digit borrowed from above.
Digit subtractMultiple(Digit *a, Digit q, const Digit *d, int digits)
{
    Wide borrow = 0;
    for (int i = 0; i < digits; ++i) {
        const Wide product = Wide(q) * d[i] + borrow;
        const Digit low = Digit(product);
        borrow = (product >> kDigitBits) + (a[i] < low ? 1 : 0);
        a[i] -= low;
    }
    return Digit(borrow);
}

} // namespace

void reduce(Digit *a, const Digit *b, int bDigits, const Digit *m, int mDigits)
{
    const int divisorDigits = significantDigits(m, mDigits);
    if (divisorDigits == 0) {
        assignZero(a, mDigits);
        return;
    }

    // Normalise: shift the divisor until the top bit of its top digit is set, the dividend
    // alike (one digit longer).
    Digit remainder[2 * kMaxDigits + 1] = {};
    Digit divisor[kMaxDigits];
    const int shift = kDigitBits - bitLength(m[divisorDigits - 1]);
    remainder[bDigits] = shiftLeft(remainder, b, shift, bDigits);
    shiftLeft(divisor, m, shift, divisorDigits);
    const Wide top = Wide(divisor[divisorDigits - 1]) + 1;

    for (int i = bDigits - divisorDigits; i >= 0; --i) {
        Digit *window = remainder + i; // divisorDigits + 1 digits, below divisor * 2^32
        // Underestimate the quotient digit from the top two digits, subtract its multiple.
        const Wide head = (Wide(window[divisorDigits]) << kDigitBits) | window[divisorDigits - 1];
        const Digit q = Digit(head / top);
        window[divisorDigits] -= subtractMultiple(window, q, divisor, divisorDigits);
        // Correct the estimate while the partial remainder is not below the divisor.
        while (window[divisorDigits] != 0 || compare(window, divisor, divisorDigits) >= 0)
            window[divisorDigits] -= subtract(window, window, divisor, divisorDigits);
    }

    // Undo the normalisation.
    assignZero(a, mDigits);
    shiftRight(a, remainder, shift, divisorDigits);
}

} // namespace bn
