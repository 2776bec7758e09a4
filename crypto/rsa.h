#pragma once

#include <QtGlobal>

#include <cstddef>

// The RSA library behind the configuration signature: raw private-key (with the Chinese
// Remainder Theorem) and public-key operations on keys of up to 2048 bits, with the big-number
// arithmetic of bignum.h. Entered through rsaDispatch between rsaInit(2) and rsaFinal(), on the
// same thread: the initialisation state is the calling thread's own, so that checks on
// several threads at once never disturb one another.

constexpr int kRsaMaxBits = 2048;
constexpr int kRsaMaxLength = kRsaMaxBits / 8; // 256 bytes
constexpr int kRsaPrimeLength = kRsaMaxLength / 2;

// Statuses.
constexpr quint32 kRsaOk = 0;
constexpr quint32 kRsaDataError = 1025;   // input not below the modulus
constexpr quint32 kRsaLengthError = 1030; // a key whose size the library cannot handle
constexpr quint32 kRsaNotInitialised = 0xFFFFFFFE;
constexpr quint32 kRsaFailure = 0xFFFFFFFF;

// Dispatch operations.
constexpr quint8 kRsaTypeRaw = 20;
constexpr quint8 kRsaModePublic = 2;
constexpr quint8 kRsaModePrivate = 3;

// Key records. Every number is an unsigned big-endian byte string right-aligned in its field
// (leading zero bytes). `bits` is in host byte order.
struct RsaPublicKey
{
    quint16 bits;                   // length of the modulus in bits
    quint8 modulus[kRsaMaxLength];  // n
    quint8 exponent[kRsaMaxLength]; // e = 65537: 0x01 0x00 0x01 in the last three bytes
};

// The public record followed by the private values. Invariant: p > q (both CRT exponentiations
// are sized by the digit count of p).
struct RsaPrivateKey
{
    RsaPublicKey publicKey;
    quint8 exponent[kRsaMaxLength];           // d: carried, not used (the CRT values are)
    quint8 prime[2][kRsaPrimeLength];         // p, q
    quint8 primeExponent[2][kRsaPrimeLength]; // d mod (p - 1), d mod (q - 1)
    quint8 coefficient[kRsaPrimeLength];      // q^-1 mod p
};

static_assert(offsetof(RsaPublicKey, modulus) == 2 && sizeof(RsaPublicKey) == 514,
              "public-key record layout");
static_assert(offsetof(RsaPrivateKey, exponent) == 514 && sizeof(RsaPrivateKey) == 1410,
              "private-key record layout");

// Parameter block of rsaDispatch.
struct RsaParameters
{
    const quint8 *input;
    quint32 inputLength;
    quint8 *output;       // room for (bits + 7) / 8 bytes
    quint32 outputLength; // written: (bits + 7) / 8
};

// 0 and the library initialised when `level` is 2; kRsaFailure (state unchanged) otherwise.
quint32 rsaInit(int level);
// Runs one operation on `key`: an RsaPrivateKey for (20, 3), an RsaPublicKey or RsaPrivateKey
// for (20, 2). kRsaNotInitialised outside rsaInit/rsaFinal, kRsaFailure for any other row.
quint32 rsaDispatch(quint8 type, quint8 mode, RsaParameters *parameters, const void *key);
// 0, and the library no longer initialised.
quint32 rsaFinal();

// output = input^d mod n, computed with CRT. kRsaDataError, output untouched, when the input
// as a number is not below n; kRsaLengthError for a key of more than 2048 bits.
quint32 rsaPrivateBlock(quint8 *output, quint32 *outputLength, const quint8 *input,
                        quint32 inputLength, const RsaPrivateKey *key);
// output = input^e mod n; same statuses.
quint32 rsaPublicBlock(quint8 *output, quint32 *outputLength, const quint8 *input,
                       quint32 inputLength, const RsaPublicKey *key);
