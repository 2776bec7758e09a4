#include "rsa_key.h"

using bn::Digit;
using bn::kMaxDigits;

quint32 rsaPrivateBlock(quint8 *output, quint32 *outputLength, const quint8 *input,
                        quint32 inputLength, const RsaPrivateKey *key)
{
    Digit c[kMaxDigits], n[kMaxDigits], p[kMaxDigits], q[kMaxDigits];
    Digit dP[kMaxDigits], dQ[kMaxDigits], qInv[kMaxDigits];
    Digit cP[kMaxDigits], cQ[kMaxDigits], mP[kMaxDigits] = {}, mQ[kMaxDigits] = {};
    Digit t[kMaxDigits] = {}, product[2 * kMaxDigits] = {};

    const quint32 length = rsa_detail::modulusLength(key->publicKey, n);
    if (length == 0)
        return kRsaLengthError;
    // An input with more significant bytes than the digits hold is not below n either.
    if (!bn::decode(c, kMaxDigits, input, inputLength))
        return kRsaDataError;
    (void)bn::decode(p, kMaxDigits, key->prime[0], kRsaPrimeLength);
    (void)bn::decode(q, kMaxDigits, key->prime[1], kRsaPrimeLength);
    (void)bn::decode(dP, kMaxDigits, key->primeExponent[0], kRsaPrimeLength);
    (void)bn::decode(dQ, kMaxDigits, key->primeExponent[1], kRsaPrimeLength);
    (void)bn::decode(qInv, kMaxDigits, key->coefficient, kRsaPrimeLength);

    const int cDigits = bn::significantDigits(c, kMaxDigits);
    const int nDigits = bn::significantDigits(n, kMaxDigits);
    const int pDigits = bn::significantDigits(p, kMaxDigits);

    // The input must be below n (over all the digits: it may be longer than n).
    if (bn::compare(c, n, kMaxDigits) >= 0)
        return kRsaDataError;
    *outputLength = length;

    // cP = c mod p, cQ = c mod q.
    bn::reduce(cP, c, cDigits, p, pDigits);
    bn::reduce(cQ, c, cDigits, q, pDigits);
    // mP = cP^dP mod p, mQ = cQ^dQ mod q (zero above pDigits).
    bn::modExp(mP, cP, dP, pDigits, p, pDigits);
    bn::modExp(mQ, cQ, dQ, pDigits, q, pDigits);

    // t = (mP - mQ) mod p.
    if (bn::compare(mP, mQ, pDigits) >= 0) {
        bn::subtract(t, mP, mQ, pDigits);
    } else {
        bn::subtract(t, mQ, mP, pDigits);
        bn::subtract(t, p, t, pDigits);
    }
    // t = ((t * qInv) mod p) * q + mQ = c^d mod n.
    bn::modMultiply(t, t, qInv, p, pDigits);
    bn::multiply(product, t, q, pDigits);
    bn::add(product, product, mQ, nDigits);

    bn::encode(output, length, product, nDigits);
    return kRsaOk;
}
