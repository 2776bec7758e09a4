#pragma once

#include "system/regularfile.h"

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
        Unreadable,           // missing, not a regular file, or a read error: see `failure`
        TooShort,             // fewer than 4 bytes: no plain length
        NotWholeBlocks,       // the encrypted part is not a multiple of 16 bytes
        LengthExceedsContent, // L is larger than the decrypted content (strict reading only)
        TooLarge,             // more than kMaxFileSize bytes, or more than memory can hold
    };

    static constexpr int kHeaderSize = 4;
    // What the 4-byte length field can declare.
    static constexpr qint64 kMaxPlainLength = 0xFFFFFFFFLL;
    // What the program and vardel-pack hold in memory, as one byte array: the largest whole
    // number of blocks that leaves room for the header and the array's own overhead.
    static constexpr qint64 kMaxCipherSize = 0x7FFFFFC0LL; // 2147483584
    static constexpr qint64 kMaxFileSize = kHeaderSize + kMaxCipherSize;
    // The largest plain content that can be sealed and read back.
    static constexpr qint64 kMaxSealablePlain = kMaxCipherSize;

    // Reads only the header (the advertisement needs nothing else).
    static Status readHeader(const QString &path, quint32 &plainLength);

    // Reads and decrypts a whole file. With `strict`, a plain length beyond the decrypted
    // content is an error; otherwise plain() keeps all the decrypted bytes. Whatever the
    // outcome, `fileSize` and `failure` say what was found.
    static Status read(const QString &path, SealedFile &out, bool strict);
    // The same on the bytes of a file, decrypted in place: `raw` becomes `decrypted`, so that
    // a file is held once (a copy is made only when `raw` is shared).
    static Status decode(QByteArray raw, SealedFile &out, bool strict);

    quint32 plainLength = 0;      // as the header declares it, once the header has been read
    QByteArray decrypted;         // every decrypted byte, padding included
    qint64 fileSize = -1;         // of the file read (or refused), when known
    regularfile::Failure failure; // why it could not be read (Unreadable, TooLarge)

    // The first min(L, decrypted size) decrypted bytes.
    QByteArray plain() const;
};
