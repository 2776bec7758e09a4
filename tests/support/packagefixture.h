#pragma once

#include "crypto/rsa.h"

#include <QByteArray>
#include <QString>

// A small clean package, made with vardel-pack's functions and the key files this build uses.
namespace fixture {

// configuration.xml before signing: one terminal with a picture, one hterm, one batch.
QByteArray unsignedXml();
// The private key of this build (VARDEL_KEY_DIR/signing-private.pem), and its PEM text.
const RsaPrivateKey &buildKey();
QByteArray buildKeyPem();
// A new RSA-2048 key pair as PEM, and any PEM key as the library's record.
QByteArray freshPem();
RsaPrivateKey keyFromPem(const QByteArray &pem);
QByteArray signXml(const QByteArray &xml);
bool write(const QString &path, const QByteArray &data);
// Writes the whole package into `dir` (a configuration directory): signed configuration.xml,
// app.bin, hterm.bin (catalogue code 12 34 56) and terminal.png.
bool writePackage(const QString &dir);

} // namespace fixture
