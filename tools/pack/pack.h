#pragma once

#include "crypto/rsa.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// What vardel-pack does, as functions the tool, the tests and the benchmark share. Failures
// are false with an explanation in `error`.
namespace pack {

// The files of a key directory (VARDEL_KEY_DIR of the build).
extern const QString kPackageKeyFile;     // package.key: 32 hexadecimal digits
extern const QString kSigningModulusFile; // signing-modulus.hex: n as 512 hexadecimal digits
extern const QString kSigningPrivateFile; // signing-private.pem: the private key, PKCS #8

// Files. Outputs go to a temporary file that is renamed over the target once complete.
[[nodiscard]] bool readFile(const QString &path, QByteArray &data, QString &error);
[[nodiscard]] bool writeFile(const QString &path, const QByteArray &data, QString &error,
                             bool privateFile = false);

// Keys. generateKeys writes a new RSA-2048 key pair (e = 65537, p > q) and a new package key
// into `dir` and never overwrites an existing key file.
[[nodiscard]] bool generateKeys(const QString &dir, QString &error);
// A PEM private key (RSA-2048, e = 65537) as the library's record, p the larger prime; the
// CRT values are recomputed when the file holds the primes the other way round.
[[nodiscard]] bool privateKeyFromPem(const QByteArray &pem, RsaPrivateKey &key, QString &error);
// A PEM private key built from n, e, d, p, q (big-endian bytes) in the order given.
QByteArray pemFromComponents(const QByteArray &n, const QByteArray &e, const QByteArray &d,
                             const QByteArray &p, const QByteArray &q);
// Whether `key` is the key pair whose public half this build holds.
bool isBuiltInKey(const RsaPrivateKey &key);

// Sealed files under the package key of this build: 4-byte big-endian plain length, then
// AES-128-ECB, the last block zero-padded.
QByteArray seal(const QByteArray &plain);

// The signed configuration: the text of the last signature element replaced, or a signature
// element inserted before the root's closing tag; the bytes before the marker unchanged. The
// result is checked the way the program checks it before it is returned.
[[nodiscard]] bool sign(const QByteArray &xml, const RsaPrivateKey &key, QByteArray &signedXml,
                        QString &error);

// Every problem an operator would meet with the package in `configurationDir`; empty for a
// clean package.
QStringList verify(const QString &configurationDir);

} // namespace pack
