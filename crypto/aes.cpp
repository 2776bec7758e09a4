#include "aes.h"

#include "crypto/keys.h"

#include <array>

namespace aes {
namespace {

constexpr int kRounds = 10;                               // Nr for a 128-bit key
constexpr int kScheduleSize = kBlockSize * (kRounds + 1); // 44 words, 176 bytes
using Table = std::array<quint8, 256>;

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr quint8 gmul(quint8 a, quint8 b)
{
    quint8 product = 0;
    while (b) {
        if (b & 1)
            product ^= a;
        a = static_cast<quint8>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
        b >>= 1;
    }
    return product;
}

constexpr quint8 rotl8(quint8 v, int n)
{
    return static_cast<quint8>((v << n) | (v >> (8 - n)));
}

// The S-box of FIPS-197 5.1.1: multiplicative inverse, then the affine transformation.
constexpr Table makeSbox()
{
    Table box{};
    for (int x = 0; x < 256; ++x) {
        quint8 inverse = 0;
        if (x != 0) { // x^254 = x^-1
            quint8 power = 1;
            for (int i = 0; i < 254; ++i)
                power = gmul(power, static_cast<quint8>(x));
            inverse = power;
        }
        box[x] = static_cast<quint8>(inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^
                                     rotl8(inverse, 3) ^ rotl8(inverse, 4) ^ 0x63);
    }
    return box;
}

constexpr Table makeInverse(const Table &box)
{
    Table inverse{};
    for (int x = 0; x < 256; ++x)
        inverse[box[x]] = static_cast<quint8>(x);
    return inverse;
}

constexpr Table kSbox = makeSbox();
constexpr Table kInvSbox = makeInverse(kSbox);
constexpr std::array<quint8, 10> kRcon{0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};

// InvMixColumns multiplies by 0x09, 0x0B, 0x0D and 0x0E: tables instead of a loop per byte.
constexpr Table makeProducts(quint8 factor)
{
    Table products{};
    for (int x = 0; x < 256; ++x)
        products[x] = gmul(static_cast<quint8>(x), factor);
    return products;
}

constexpr Table kMul09 = makeProducts(0x09);
constexpr Table kMul0B = makeProducts(0x0B);
constexpr Table kMul0D = makeProducts(0x0D);
constexpr Table kMul0E = makeProducts(0x0E);

static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xED, "FIPS-197 S-box");
static_assert(kInvSbox[0x63] == 0x00, "FIPS-197 inverse S-box");

using Schedule = std::array<quint8, kScheduleSize>;
using State = std::array<quint8, kBlockSize>; // byte 4c + r is row r, column c

// FIPS-197 5.2: the key expansion, stored word after word (round key i at bytes 16i..16i+15).
void expandKey(const quint8 *key, Schedule &w)
{
    for (int i = 0; i < kKeySize; ++i)
        w[i] = key[i];
    for (int i = kKeySize; i < kScheduleSize; i += 4) {
        quint8 t[4] = {w[i - 4], w[i - 3], w[i - 2], w[i - 1]};
        if (i % kKeySize == 0) {
            // RotWord, SubWord, then Rcon on the first byte.
            const quint8 first = t[0];
            t[0] = static_cast<quint8>(kSbox[t[1]] ^ kRcon[i / kKeySize - 1]);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
        }
        for (int j = 0; j < 4; ++j)
            w[i + j] = static_cast<quint8>(w[i - kKeySize + j] ^ t[j]);
    }
}

void addRoundKey(State &s, const Schedule &w, int round)
{
    for (int i = 0; i < kBlockSize; ++i)
        s[i] ^= w[round * kBlockSize + i];
}

// Row r moves r columns to the right.
void invShiftRows(State &s)
{
    const State in = s;
    for (int r = 1; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            s[4 * ((c + r) % 4) + r] = in[4 * c + r];
}

void invSubBytes(State &s)
{
    for (quint8 &b : s)
        b = kInvSbox[b];
}

void invMixColumns(State &s)
{
    for (int c = 0; c < 4; ++c) {
        const quint8 a0 = s[4 * c], a1 = s[4 * c + 1], a2 = s[4 * c + 2], a3 = s[4 * c + 3];
        s[4 * c] = kMul0E[a0] ^ kMul0B[a1] ^ kMul0D[a2] ^ kMul09[a3];
        s[4 * c + 1] = kMul09[a0] ^ kMul0E[a1] ^ kMul0B[a2] ^ kMul0D[a3];
        s[4 * c + 2] = kMul0D[a0] ^ kMul09[a1] ^ kMul0E[a2] ^ kMul0B[a3];
        s[4 * c + 3] = kMul0B[a0] ^ kMul0D[a1] ^ kMul09[a2] ^ kMul0E[a3];
    }
}

// FIPS-197 5.3: the inverse cipher on one block.
void decryptBlock(const Schedule &w, const quint8 *in, quint8 *out)
{
    State s;
    for (int i = 0; i < kBlockSize; ++i)
        s[i] = in[i];
    addRoundKey(s, w, kRounds);
    for (int round = kRounds - 1; round >= 1; --round) {
        invShiftRows(s);
        invSubBytes(s);
        addRoundKey(s, w, round);
        invMixColumns(s);
    }
    invShiftRows(s);
    invSubBytes(s);
    addRoundKey(s, w, 0);
    for (int i = 0; i < kBlockSize; ++i)
        out[i] = s[i];
}

} // namespace

void decryptEcb(const quint8 *key, const quint8 *input, quint32 length, quint8 *output)
{
    Schedule w;
    expandKey(key, w);
    const quint32 whole = length - length % kBlockSize;
    for (quint32 offset = 0; offset < whole; offset += kBlockSize)
        decryptBlock(w, input + offset, output + offset);
}

} // namespace aes

void decryptBuffer(const quint8 *input, quint32 length, quint8 *output)
{
    aes::decryptEcb(keys::kPackageKey.data(), input, length, output);
}
