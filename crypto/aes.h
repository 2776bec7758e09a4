#pragma once

#include <QtGlobal>

// AES-128 inverse cipher (FIPS-197) in ECB mode. All working storage is local to each call, so
// calls from several threads may overlap.
namespace aes {

constexpr int kBlockSize = 16;
constexpr int kKeySize = 16;

// Decrypts the whole 16-byte blocks of input[0..length-1] under `key` into output, which may be
// the input itself. A trailing partial block is neither read nor written; a length of 0 does
// nothing.
void decryptEcb(const quint8 *key, const quint8 *input, quint32 length, quint8 *output);

} // namespace aes

// Decrypts with the package key compiled into the program (see decryptEcb for the lengths).
void decryptBuffer(const quint8 *input, quint32 length, quint8 *output);
