#pragma once

#include <QByteArray>
#include <QString>

// A sealed file: a 4-byte big-endian plain length L, then the plain content encrypted with
// AES-128-ECB under the package key, in whole 16-byte blocks (the last one padded).
class SealedFile
{
public:
    enum class Status
    {
        Ok,
        Unreadable,           // the file cannot be opened or read
        TooShort,             // fewer than 4 bytes: no plain length
        NotWholeBlocks,       // the encrypted part is not a multiple of 16 bytes
        LengthExceedsContent, // L is larger than the decrypted content (strict reading only)
    };

    static constexpr int kHeaderSize = 4;

    // Reads only the header (the advertisement needs nothing else).
    static Status readHeader(const QString &path, quint32 &plainLength);

    // Reads and decrypts a whole file. With `strict`, a plain length beyond the decrypted
    // content is an error; otherwise plain() keeps all the decrypted bytes.
    static Status read(const QString &path, SealedFile &out, bool strict);
    static Status decode(const QByteArray &raw, SealedFile &out, bool strict);

    // An explanation for an operator or a log line.
    static QString describe(Status status);

    quint32 plainLength = 0;
    QByteArray decrypted; // every decrypted byte, padding included

    // The first min(L, decrypted size) decrypted bytes.
    QByteArray plain() const;
};
