#include "sealing.h"

#include "crypto/keys.h"

#include <QtEndian>

#include <openssl/evp.h>

namespace sealing {

QByteArray sealAnnouncing(const QByteArray &plain, quint32 announcedLength)
{
    const QByteArray padded = plain + QByteArray(-plain.size() & 15, '\0'); // whole blocks
    QByteArray out(4 + padded.size(), '\0');
    qToBigEndian(announcedLength, out.data());
    int written = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, keys::kPackageKey.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()) + 4, &written,
                      reinterpret_cast<const unsigned char *>(padded.constData()), padded.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

QByteArray seal(const QByteArray &plain)
{
    return sealAnnouncing(plain, quint32(plain.size()));
}

} // namespace sealing
