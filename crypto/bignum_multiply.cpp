#include "bignum.h"

// Products (see bignum.h for the layout).
namespace bn {

void multiply(Digit *a, const Digit *b, const Digit *c, int digits)
{
    assignZero(a, 2 * digits);
    const int bDigits = significantDigits(b, digits);
    const int cDigits = significantDigits(c, digits);
    for (int i = 0; i < bDigits; ++i) {
        // a[i..] += b[i] * c, one row of the schoolbook product.
        Wide carry = 0;
        for (int j = 0; j < cDigits; ++j) {
            carry += Wide(b[i]) * c[j] + a[i + j];
            a[i + j] = Digit(carry);
            carry >>= kDigitBits;
        }
        a[i + cDigits] = Digit(carry);
    }
}

void modMultiply(Digit *a, const Digit *b, const Digit *c, const Digit *m, int digits)
{
    Digit product[2 * kMaxDigits];
    multiply(product, b, c, digits);
    reduce(a, product, 2 * digits, m, digits);
}

} // namespace bn
