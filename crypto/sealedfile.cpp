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
    return decode(raw, out, strict);
}

SealedFile::Status SealedFile::decode(const QByteArray &raw, SealedFile &out, bool strict)
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
        out.decrypted = QByteArray(cipherSize, '\0');
    } catch (const std::bad_alloc &) {
        out.failure.reason = regularfile::Failure::Reason::NoMemory;
        out.failure.size = raw.size();
        return Status::TooLarge;
    }
    decryptBuffer(reinterpret_cast<const quint8 *>(raw.constData()) + kHeaderSize,
                  quint32(cipherSize), reinterpret_cast<quint8 *>(out.decrypted.data()));
    return Status::Ok;
}

QString SealedFile::describe(Status status)
{
    switch (status) {
    case Status::Ok:
        return QStringLiteral("fichier scellé valide");
    case Status::Unreadable:
        return QStringLiteral("fichier illisible");
    case Status::TooShort:
        return QStringLiteral("fichier de moins de 4 octets");
    case Status::NotWholeBlocks:
        return QStringLiteral("contenu chiffré incomplet (pas un multiple de 16 octets)");
    case Status::LengthExceedsContent:
        return QStringLiteral("longueur annoncée supérieure au contenu");
    case Status::TooLarge:
        return QStringLiteral("fichier trop grand");
    }
    return QString();
}

QByteArray SealedFile::plain() const
{
    if (plainLength >= quint32(decrypted.size()))
        return decrypted;
    return decrypted.left(int(plainLength));
}
