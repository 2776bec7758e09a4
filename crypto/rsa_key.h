#pragma once

#include "bignum.h"
#include "rsa.h"

// Shared by the two RSA operations (see rsa.h).
namespace rsa_detail {

// The output length (bits + 7) / 8 when the record's modulus fits the library and its `bits`,
// 0 otherwise. `n` receives the modulus.
quint32 modulusLength(const RsaPublicKey &key, bn::Digit *n);

} // namespace rsa_detail
