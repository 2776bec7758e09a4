#include "pack.h"

#include "crypto/aes.h"
#include "crypto/keys.h"
#include "crypto/sealedfile.h"
#include "system/regularfile.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <new>

namespace pack {
namespace {

// `buffer` holds the header's room, then `plainLength` plain bytes and room for the padding:
// writes the header, zeroes the padding and encrypts the blocks in place.
bool sealInPlace(QByteArray &buffer, qint64 plainLength)
{
    const int cipherSize = buffer.size() - SealedFile::kHeaderSize;
    auto *bytes = reinterpret_cast<unsigned char *>(buffer.data());
    std::memset(bytes + SealedFile::kHeaderSize + plainLength, 0, size_t(cipherSize - plainLength));
    const quint32 length = quint32(plainLength);
    bytes[0] = quint8(length >> 24);
    bytes[1] = quint8(length >> 16);
    bytes[2] = quint8(length >> 8);
    bytes[3] = quint8(length);

    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    int written = 0;
    unsigned char *blocks = bytes + SealedFile::kHeaderSize;
    return ctx &&
           EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, keys::kPackageKey.data(),
                              nullptr) == 1 &&
           EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
           EVP_EncryptUpdate(ctx.get(), blocks, &written, blocks, cipherSize) == 1 &&
           written == cipherSize;
}

qint64 paddedSize(qint64 plainLength)
{
    return (plainLength + aes::kBlockSize - 1) / aes::kBlockSize * aes::kBlockSize;
}

} // namespace

QByteArray seal(const QByteArray &plain)
{
    if (plain.size() > SealedFile::kMaxSealablePlain)
        return QByteArray();
    QByteArray out(int(SealedFile::kHeaderSize + paddedSize(plain.size())), '\0');
    std::memcpy(out.data() + SealedFile::kHeaderSize, plain.constData(), size_t(plain.size()));
    return sealInPlace(out, plain.size()) ? out : QByteArray();
}

bool sealFile(const QString &plainPath, QByteArray &sealed, QString &error)
{
    regularfile::Failure failure;
    QByteArray buffer;
    if (!regularfile::read(plainPath, SealedFile::kMaxSealablePlain, buffer, failure)) {
        if (failure.reason == regularfile::Failure::Reason::TooLarge &&
            failure.size > SealedFile::kMaxPlainLength)
            error = QStringLiteral("cannot seal %1: it has %2 bytes, more than the %3 bytes a "
                                   "sealed file's 4-byte length field can declare")
                        .arg(plainPath)
                        .arg(failure.size)
                        .arg(SealedFile::kMaxPlainLength);
        else if (failure.reason == regularfile::Failure::Reason::TooLarge)
            error = QStringLiteral("cannot seal %1: it has %2 bytes, more than the %3 bytes "
                                   "vardel-pack can hold (and the program can read back)")
                        .arg(plainPath)
                        .arg(failure.size)
                        .arg(SealedFile::kMaxSealablePlain);
        else
            error = QStringLiteral("cannot seal %1: it %2")
                        .arg(plainPath, regularfile::describe(failure, wording::Language::English));
        return false;
    }
    // One buffer: the plain bytes move behind the header's room and are encrypted in place.
    const qint64 plainLength = buffer.size();
    try {
        buffer.resize(int(SealedFile::kHeaderSize + paddedSize(plainLength)));
    } catch (const std::bad_alloc &) {
        error = QStringLiteral("cannot seal %1: its %2 bytes need more memory than is available")
                    .arg(plainPath)
                    .arg(plainLength);
        return false;
    }
    std::memmove(buffer.data() + SealedFile::kHeaderSize, buffer.constData(), size_t(plainLength));
    if (!sealInPlace(buffer, plainLength)) {
        error = QStringLiteral("cannot seal %1: the encryption failed").arg(plainPath);
        return false;
    }
    sealed = std::move(buffer);
    return true;
}

} // namespace pack
