#pragma once

#include "crypto/rsa.h"

#include <QByteArray>
#include <QString>

// The signature of configuration.xml. The signed region is the raw bytes of the file before the
// last "<signature>" marker; its SHA-256 digest is wrapped in a PKCS #1 v1.5 block of type 1
// (no DigestInfo), and the signature value is that block raised to the private exponent modulo
// n, written as 344 characters of Base64 between "<signature>" and "</signature>".
//
// The program holds only the public key: it raises the stored value to e modulo n and compares
// with the block. Since the RSA operation is a permutation of the numbers below n, this accepts
// exactly the texts that recomputing the signature with the private key would produce.
namespace signature {

constexpr int kValueSize = kRsaMaxLength; // 256 bytes
constexpr int kTextSize = 344;            // Base64 of 256 bytes, with padding

extern const QByteArray kOpenMarker;  // "<signature>"
extern const QByteArray kCloseMarker; // "</signature" (without its '>')

enum class Verdict
{
    Valid,
    NoText,       // no signature text between the markers
    NotCanonical, // not the canonical 344-character Base64 of 256 bytes
    NotBelowModulus,
    Mismatch, // the file changed after signing, or another key signed it
};

// The bytes before the last opening marker; empty when there is none.
QByteArray signedRegion(const QByteArray &file);
// The text between the last opening marker and the last closing marker, up to a zero byte;
// empty when a marker is missing or the closing one stands before the opening one.
QString extractText(const QByteArray &file);
// The 256-byte block of type 1 around SHA-256(region).
QByteArray block(const QByteArray &region);
// The 256-byte value of a canonical signature text; false for any other text.
[[nodiscard]] bool decodeText(const QString &text, QByteArray &value);
// The text of a 256-byte value.
QString encodeText(const QByteArray &value);

// The public key compiled into the program, as the record the RSA library reads.
void builtInKey(RsaPublicKey &key);

// Whether `text` is the signature of `file` under `key`.
Verdict check(const QByteArray &file, const QString &text, const RsaPublicKey &key);
// An explanation for the package maker.
QString describe(Verdict verdict);

} // namespace signature
