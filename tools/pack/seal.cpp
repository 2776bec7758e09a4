#include "pack.h"

#include "crypto/keys.h"

#include <openssl/evp.h>

#include <memory>

namespace pack {

QByteArray seal(const QByteArray &plain)
{
    QByteArray padded = plain;
    if (padded.size() % 16 != 0)
        padded.append(16 - padded.size() % 16, '\0');

    QByteArray out(4 + padded.size(), '\0');
    const quint32 length = quint32(plain.size());
    out[0] = char(length >> 24);
    out[1] = char(length >> 16);
    out[2] = char(length >> 8);
    out[3] = char(length);

    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    int written = 0;
    auto *cipher = reinterpret_cast<unsigned char *>(out.data()) + 4;
    const bool ok = ctx &&
                    EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr,
                                       keys::kPackageKey.data(), nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_EncryptUpdate(ctx.get(), cipher, &written,
                                      reinterpret_cast<const unsigned char *>(padded.constData()),
                                      padded.size()) == 1 &&
                    written == padded.size();
    return ok ? out : QByteArray();
}

} // namespace pack
