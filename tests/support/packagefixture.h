#pragma once

#include "crypto/rsa.h"

#include <QByteArray>
#include <QString>

// A small clean package, made with vardel-pack's functions and the key files this build uses.
namespace fixture {

// configuration.xml before signing: one terminal with a picture, one hterm, one batch.
QByteArray unsignedXml();
// The private key of this build (VARDEL_KEY_DIR/signing-private.pem) as the library's record.
const RsaPrivateKey &buildKey();
QByteArray signXml(const QByteArray &xml); // with the build key
bool write(const QString &path, const QByteArray &data);
// Writes the whole package into `dir` (a configuration directory): signed configuration.xml,
// app.bin, hterm.bin (catalogue code 12 34 56) and terminal.png.
bool writePackage(const QString &dir);

} // namespace fixture
