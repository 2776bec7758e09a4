#pragma once

#include <cstdint>

// Multi-precision arithmetic of the RSA operations.
//
// Layout: a number is an array of unsigned 32-bit digits, least significant digit first. Every
// number lives in a fixed array of kMaxDigits digits on the caller's stack (room for a 2048-bit
// value plus one digit); the operations take a digit count and touch no digit beyond it, and
// none of them allocates. A double-length product has room for 2 * kMaxDigits digits.
//
// Byte strings: decoding reads a big-endian byte string into digits from its last byte
// backwards, 4 bytes per digit, and zero-fills the remaining digits; encoding writes digits back
// as a big-endian byte string of a given length, zero-filling the leading bytes.
//
// Unless stated otherwise, results may share storage with operands.
namespace bn {

using Digit = std::uint32_t;
using Wide = std::uint64_t;

constexpr int kDigitBits = 32;
constexpr int kMaxDigits = 65;
constexpr int kMaxBytes = kMaxDigits * 4;

// a[0..digits-1] = bytes[0..length-1]. False (and a still filled with the low digits) when a
// non-zero byte does not fit in `digits` digits.
[[nodiscard]] bool decode(Digit *a, int digits, const std::uint8_t *bytes, std::uint32_t length);
// bytes[0..length-1] = a[0..digits-1]; digits that do not fit in `length` bytes are dropped.
void encode(std::uint8_t *bytes, std::uint32_t length, const Digit *a, int digits);

void assignZero(Digit *a, int digits);
void assign(Digit *a, const Digit *b, int digits);
// The number of digits up to the most significant non-zero one (0 for zero).
int significantDigits(const Digit *a, int digits);
// The sign of a - b.
int compare(const Digit *a, const Digit *b, int digits);

// a = b + c, returns the carry out.
Digit add(Digit *a, const Digit *b, const Digit *c, int digits);
// a = b - c, returns the borrow out.
Digit subtract(Digit *a, const Digit *b, const Digit *c, int digits);

// a[0..2*digits-1] = b * c (schoolbook product). `a` must not share storage with b or c.
void multiply(Digit *a, const Digit *b, const Digit *c, int digits);

// a[0..mDigits-1] = b[0..bDigits-1] mod m[0..mDigits-1], by long division. bDigits is at most
// 2 * kMaxDigits. A zero modulus gives zero.
void reduce(Digit *a, const Digit *b, int bDigits, const Digit *m, int mDigits);

// a = b * c mod m, all of `digits` digits (b and c below m).
void modMultiply(Digit *a, const Digit *b, const Digit *c, const Digit *m, int digits);

// a = b^e mod m with a fixed 2-bit window; e has eDigits digits, b, m and a have mDigits.
void modExp(Digit *a, const Digit *b, const Digit *e, int eDigits, const Digit *m, int mDigits);

} // namespace bn
