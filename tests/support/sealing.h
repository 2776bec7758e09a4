#pragma once

#include <QByteArray>

// Sealed files for the tests, made with OpenSSL under the package key the program is built
// with: 4-byte big-endian plain length, then AES-128-ECB of the content, zero-padded.
namespace sealing {

QByteArray seal(const QByteArray &plain);
// The same with a header that announces `announcedLength` instead of the real length.
QByteArray sealAnnouncing(const QByteArray &plain, quint32 announcedLength);
// AES-128-ECB of whole blocks under a 16-byte key.
QByteArray encrypt(const QByteArray &key, const QByteArray &blocks);

} // namespace sealing
