// The RSA operations on arbitrary inputs and arbitrary key records (any modulus, even or tiny,
// any bits field, primes in any order): they must stay within their buffers and, with the
// built-in key, the public operation must refuse exactly the values not below n.

#include "config/signature.h"
#include "crypto/rsa.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    quint8 output[kRsaMaxLength];
    quint32 length = 0;
    const quint32 inputLength = quint32(size < 300 ? size : 300);

    RsaPublicKey builtIn;
    signature::builtInKey(builtIn);
    const quint32 status = rsaPublicBlock(output, &length, data, inputLength, &builtIn);
    if (status != kRsaOk && status != kRsaDataError)
        __builtin_trap();

    // The rest of the input, if long enough, is a key record.
    if (size >= inputLength + sizeof(RsaPrivateKey)) {
        RsaPrivateKey record;
        std::memcpy(&record, data + inputLength, sizeof record);
        // Exponents of at most 128 bits keep an execution short; the moduli stay arbitrary.
        std::memset(record.publicKey.exponent, 0, kRsaMaxLength - 16);
        std::memset(record.primeExponent[0], 0, kRsaPrimeLength - 16);
        std::memset(record.primeExponent[1], 0, kRsaPrimeLength - 16);
        (void)rsaPrivateBlock(output, &length, data, inputLength, &record);
        (void)rsaPublicBlock(output, &length, data, inputLength, &record.publicKey);
    }
    return 0;
}
