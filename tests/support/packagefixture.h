#pragma once

#include "config/configuration.h"
#include "crypto/rsa.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// A small clean package, made with vardel-pack's functions and the key files this build uses.
namespace fixture {

// configuration.xml before signing: one terminal with a picture, one hterm, one batch; its
// reboot delay 60000 ms, or `delayReboot`.
QByteArray unsignedXml();
QByteArray unsignedXml(int delayReboot);
// The private key of this build (VARDEL_KEY_DIR/signing-private.pem) as the library's record.
const RsaPrivateKey &buildKey();
// Signed as vardel-pack signs, with the build key and the digests of the files it names in
// `dir` (empty: the package's own files, as writePackage writes them).
QByteArray signXml(const QByteArray &xml, const QString &dir = QString());
// Signed as vardel-pack signed before the files carried digests: a package of an older tool.
QByteArray signWithoutDigests(const QByteArray &xml);
bool write(const QString &path, const QByteArray &data);
// The package's files: app.bin (300 bytes, sealed), hterm.bin (catalogue code 12 34 56,
// sealed) and terminal.png, by name; writeFiles writes them into `dir` (a configuration
// directory), writePackage adds configuration.xml, signed.
QList<QPair<QString, QByteArray>> files();
// For each of files(), another file of its kind, as anyone who can seal a file could make one.
QList<QByteArray> otherFiles();
bool writeFiles(const QString &dir);
bool writePackage(const QString &dir);

// A signed configuration.xml with an operation and a batch added after its signature element,
// where the signature does not cover them.
QByteArray withAppendedBatch(const QByteArray &signedXml);
// Everything the program takes from the model, in one line: the fields, each batch ("batch ID",
// its paths and "expect ENTRY" for each entry it expects), the digest each named file must
// have, then the kept hterm records in hex with their zero tails cut, '|' between.
QString summary(const Configuration &c);
// A PNG of `width` x `height` blue pixels.
QByteArray png(int width, int height);
// A PNG that declares `width` x `height` pixels in its header and holds a few bytes of image
// data: enough for its size to be read, far too little to be decoded.
QByteArray pngHeader(quint32 width, quint32 height);

} // namespace fixture
