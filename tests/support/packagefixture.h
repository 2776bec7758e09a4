#pragma once

#include "config/configuration.h"
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

// A signed configuration.xml with an operation and a batch added after its signature element,
// where the signature does not cover them.
QByteArray withAppendedBatch(const QByteArray &signedXml);
// Everything the program takes from the model, in one line: the fields, each batch ("batch ID"
// and its paths), then the kept hterm records in hex with their zero tails cut, '|' between.
QString summary(const Configuration &c);
// A PNG of `width` x `height` blue pixels.
QByteArray png(int width, int height);
// A PNG that declares `width` x `height` pixels in its header and holds a few bytes of image
// data: enough for its size to be read, far too little to be decoded.
QByteArray pngHeader(quint32 width, quint32 height);

} // namespace fixture
