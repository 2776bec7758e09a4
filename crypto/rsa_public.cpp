#include "rsa_key.h"

using bn::Digit;
using bn::kMaxDigits;

quint32 rsaPublicBlock(quint8 *output, quint32 *outputLength, const quint8 *input,
                       quint32 inputLength, const RsaPublicKey *key)
{
    Digit c[kMaxDigits], n[kMaxDigits], e[kMaxDigits], t[kMaxDigits];

    const quint32 length = rsa_detail::modulusLength(*key, n);
    if (length == 0)
        return kRsaLengthError;
    if (!bn::decode(c, kMaxDigits, input, inputLength))
        return kRsaDataError;
    (void)bn::decode(e, kMaxDigits, key->exponent, kRsaMaxLength);

    const int nDigits = bn::significantDigits(n, kMaxDigits);
    const int eDigits = bn::significantDigits(e, kMaxDigits);

    // The input must be below n.
    if (bn::compare(c, n, kMaxDigits) >= 0)
        return kRsaDataError;
    *outputLength = length;

    // t = c^e mod n.
    bn::modExp(t, c, e, eDigits, n, nDigits);
    bn::encode(output, length, t, nDigits);
    return kRsaOk;
}
