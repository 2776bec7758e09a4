#include "sealing.h"

#include "crypto/keys.h"

#include <QtEndian>

#include <openssl/evp.h>

namespace sealing {

QByteArray encrypt(const QByteArray &key, const QByteArray &blocks)
{
    const auto bytes = [](const QByteArray &b) {
        return reinterpret_cast<const uchar *>(b.data());
    };
    QByteArray out(blocks.size(), '\0');
    int written = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, bytes(key), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, reinterpret_cast<uchar *>(out.data()), &written, bytes(blocks),
                      blocks.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

QByteArray sealAnnouncing(const QByteArray &plain, quint32 announcedLength)
{
    QByteArray header(4, '\0');
    qToBigEndian(announcedLength, header.data());
    const QByteArray key(reinterpret_cast<const char *>(keys::kPackageKey.data()), 16);
    return header + encrypt(key, plain + QByteArray(-plain.size() & 15, '\0')); // whole blocks
}

QByteArray seal(const QByteArray &plain)
{
    return sealAnnouncing(plain, quint32(plain.size()));
}

} // namespace sealing
