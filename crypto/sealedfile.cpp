#include "sealedfile.h"

#include "aes.h"

#include <new>

namespace {

quint32 bigEndian32(const QByteArray &bytes)
{
    const auto *b = reinterpret_cast<const quint8 *>(bytes.constData());
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}

} // namespace

SealedFile::Status SealedFile::readHeader(const QString &path, quint32 &plainLength)
{
    QByteArray header;
    regularfile::Failure failure;
    if (!regularfile::readHead(path, kHeaderSize, header, failure))
        return Status::Unreadable;
    if (header.size() < kHeaderSize)
        return Status::TooShort;
    plainLength = bigEndian32(header);
    return Status::Ok;
}

SealedFile::Status SealedFile::read(const QString &path, SealedFile &out, bool strict)
{
    QByteArray raw;
    const bool read = regularfile::read(path, kMaxFileSize, raw, out.failure);
    out.fileSize = out.failure.size;
    if (!read) {
        using Reason = regularfile::Failure::Reason;
        const Reason reason = out.failure.reason;
        return reason == Reason::TooLarge || reason == Reason::NoMemory ? Status::TooLarge
                                                                        : Status::Unreadable;
    }
    return decode(std::move(raw), out, strict);
}

SealedFile::Status SealedFile::decode(QByteArray raw, SealedFile &out, bool strict)
{
    out.fileSize = raw.size();
    if (raw.size() < kHeaderSize)
        return Status::TooShort;
    const int cipherSize = raw.size() - kHeaderSize;
    out.plainLength = bigEndian32(raw);
    if (cipherSize % aes::kBlockSize != 0)
        return Status::NotWholeBlocks;
    if (strict && out.plainLength > quint32(cipherSize))
        return Status::LengthExceedsContent;

    try {
        // Each block is decrypted from a copy of it, so the output may be the input.
        auto *bytes = reinterpret_cast<quint8 *>(raw.data()) + kHeaderSize;
        decryptBuffer(bytes, quint32(cipherSize), bytes);
        raw.remove(0, kHeaderSize);
    } catch (const std::bad_alloc &) { // `raw` was shared, and there is no room for a copy
        out.failure.reason = regularfile::Failure::Reason::NoMemory;
        out.failure.size = out.fileSize;
        return Status::TooLarge;
    }
    out.decrypted = std::move(raw);
    return Status::Ok;
}

QByteArray SealedFile::plain() const
{
    if (plainLength >= quint32(decrypted.size()))
        return decrypted;
    return decrypted.left(int(plainLength));
}
