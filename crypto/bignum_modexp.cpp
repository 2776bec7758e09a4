#include "bignum.h"

// Modular exponentiation with a fixed 2-bit window (see bignum.h for the layout).
namespace bn {

void modExp(Digit *a, const Digit *b, const Digit *e, int eDigits, const Digit *m, int mDigits)
{
    // powers[g - 1] = b^g mod m for the window values g = 1, 2, 3.
    Digit powers[3][kMaxDigits];
    reduce(powers[0], b, mDigits, m, mDigits);
    modMultiply(powers[1], powers[0], powers[0], m, mDigits);
    modMultiply(powers[2], powers[1], powers[0], m, mDigits);

    Digit t[kMaxDigits];
    assignZero(t, mDigits);
    t[0] = 1;
    if (mDigits > 0 && significantDigits(m, mDigits) == 1 && m[0] == 1)
        t[0] = 0; // everything is 0 modulo 1

    eDigits = significantDigits(e, eDigits);
    for (int i = eDigits - 1; i >= 0; --i) {
        Digit bits = e[i];
        int groups = kDigitBits / 2;
        // In the most significant digit, skip the leading groups that are zero.
        if (i == eDigits - 1) {
            while ((bits >> (kDigitBits - 2)) == 0) {
                bits <<= 2;
                --groups;
            }
        }
        for (; groups > 0; --groups, bits <<= 2) {
            modMultiply(t, t, t, m, mDigits);
            modMultiply(t, t, t, m, mDigits);
            const Digit g = bits >> (kDigitBits - 2);
            if (g != 0)
                modMultiply(t, t, powers[g - 1], m, mDigits);
        }
    }
    assign(a, t, mDigits);
}

} // namespace bn
