#include "sealing.h"

#include "crypto/keys.h"

#include <openssl/evp.h>

namespace sealing {

QByteArray packageKey()
{
    return QByteArray(reinterpret_cast<const char *>(keys::kPackageKey.data()),
                      int(keys::kPackageKey.size()));
}

QByteArray encryptEcb(const QByteArray &key, const QByteArray &plain)
{
    QByteArray out(plain.size() + 16, '\0');
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int written = 0;
    int last = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr,
                       reinterpret_cast<const unsigned char *>(key.constData()), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &written,
                      reinterpret_cast<const unsigned char *>(plain.constData()), plain.size());
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + written, &last);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(written + last);
    return out;
}

QByteArray sealAnnouncing(const QByteArray &plain, quint32 announcedLength)
{
    QByteArray padded = plain;
    if (padded.size() % 16)
        padded.append(16 - padded.size() % 16, '\0');
    QByteArray out;
    out.append(char(announcedLength >> 24));
    out.append(char(announcedLength >> 16));
    out.append(char(announcedLength >> 8));
    out.append(char(announcedLength));
    out.append(encryptEcb(packageKey(), padded));
    return out;
}

QByteArray seal(const QByteArray &plain)
{
    return sealAnnouncing(plain, quint32(plain.size()));
}

} // namespace sealing
