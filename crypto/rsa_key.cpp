#include "rsa_key.h"

namespace rsa_detail {

quint32 modulusLength(const RsaPublicKey &key, bn::Digit *n)
{
    if (key.bits == 0 || key.bits > kRsaMaxBits)
        return 0;
    const quint32 length = (quint32(key.bits) + 7) / 8;
    // The modulus field is 256 bytes, so it always decodes; it must not be longer than `bits`
    // says, or the result would not fit in the output length.
    (void)bn::decode(n, bn::kMaxDigits, key.modulus, kRsaMaxLength);
    for (quint32 i = 0; i < kRsaMaxLength - length; ++i) {
        if (key.modulus[i] != 0)
            return 0;
    }
    return length;
}

} // namespace rsa_detail
