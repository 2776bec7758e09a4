#include "sealedfile.h"

#include "aes.h"

#include <QFile>

namespace {

quint32 bigEndian32(const QByteArray &bytes)
{
    const auto *b = reinterpret_cast<const quint8 *>(bytes.constData());
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}

} // namespace

SealedFile::Status SealedFile::readHeader(const QString &path, quint32 &plainLength)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Status::Unreadable;
    const QByteArray header = file.read(kHeaderSize);
    if (header.size() < kHeaderSize)
        return Status::TooShort;
    plainLength = bigEndian32(header);
    return Status::Ok;
}

SealedFile::Status SealedFile::read(const QString &path, SealedFile &out, bool strict)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Status::Unreadable;
    const QByteArray raw = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Status::Unreadable;
    return decode(raw, out, strict);
}

SealedFile::Status SealedFile::decode(const QByteArray &raw, SealedFile &out, bool strict)
{
    if (raw.size() < kHeaderSize)
        return Status::TooShort;
    const int cipherSize = raw.size() - kHeaderSize;
    if (cipherSize % aes::kBlockSize != 0)
        return Status::NotWholeBlocks;
    const quint32 length = bigEndian32(raw);
    if (strict && length > quint32(cipherSize))
        return Status::LengthExceedsContent;

    out.plainLength = length;
    out.decrypted = QByteArray(cipherSize, '\0');
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
    }
    return QString();
}

QByteArray SealedFile::plain() const
{
    if (plainLength >= quint32(decrypted.size()))
        return decrypted;
    return decrypted.left(int(plainLength));
}
