#pragma once

#include "crypto/rsa.h"
#include "system/wording.h"

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
//
// The signature covers everything the program acts on: after the closing marker of the
// signature element only white space and the closing tag of the root element may follow
// (no root closing tag when the signature element is itself the root). Anything else there
// would be read by the XML reader without being signed, so it makes the file invalid.
namespace signature {

constexpr int kValueSize = kRsaMaxLength; // 256 bytes
constexpr int kTextSize = 344;            // Base64 of 256 bytes, with padding

extern const QByteArray kOpenMarker;  // "<signature>"
extern const QByteArray kCloseMarker; // "</signature" (without its '>')

enum class Verdict
{
    Valid,
    NoText,          // no signature text between the markers
    NotCanonical,    // not the canonical 344-character Base64 of 256 bytes
    UnsignedContent, // something other than white space and the root's closing tag follows
    NotBelowModulus,
    Mismatch, // the file changed after signing, or another key signed it
};

// The bytes before the last opening marker; empty when there is none.
QByteArray signedRegion(const QByteArray &file);
// The text between the last opening marker and the last closing marker, up to a zero byte;
// empty when a marker is missing or the closing one stands before the opening one.
QString extractText(const QByteArray &file);
// What follows the signature element when it is more than white space and the closing tag
// of the root element.
struct UnsignedContent
{
    int offset = -1;  // of the first byte that does not belong there; -1: nothing unsigned
    QByteArray found; // the bytes from there to the end of the file (empty: the file ends
                      // before the closing tags are complete)
    QByteArray root;  // the root element's name ("signature" when it is the root)

    bool any() const { return offset >= 0; }
    // `found` cut to a few dozen bytes, line breaks and other control bytes made visible.
    QString excerpt() const;
};
// Looks after the last closing marker; nothing is reported when there is none (there is no
// signature text then).
UnsignedContent unsignedContent(const QByteArray &file);

// The 256-byte block of type 1 around SHA-256(region).
QByteArray block(const QByteArray &region);
// The 256-byte value of a canonical signature text; false for any other text.
[[nodiscard]] bool decodeText(const QString &text, QByteArray &value);
// The text of a 256-byte value.
QString encodeText(const QByteArray &value);

// The public key compiled into the program, as the record the RSA library reads.
void builtInKey(RsaPublicKey &key);

// Whether `text` is the signature of `file` under `key`, and nothing unsigned follows it. The
// cheap checks come first: the text, then what follows the element, then the RSA operation.
// For UnsignedContent, `found` (when given) receives what follows the element; it is left
// alone otherwise.
Verdict check(const QByteArray &file, const QString &text, const RsaPublicKey &key,
              UnsignedContent *found = nullptr);
// What the verdict means: in English for the package maker, in French for the program's log;
// for UnsignedContent, with what was found.
QString describe(Verdict verdict, wording::Language language,
                 const UnsignedContent &found = UnsignedContent());

} // namespace signature
