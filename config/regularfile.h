#pragma once

#include <QByteArray>
#include <QString>

class QFile;

// How the program and vardel-pack read the files of a package: only regular files, and never
// more than the reader can hold. A FIFO, a device, a socket or a directory is refused before it
// is opened for reading, so that nothing ever blocks on it; a file larger than the reader's
// limit is refused from its size, before anything is read.
namespace regularfile {

// What a path names.
enum class Type
{
    Regular,
    Fifo,
    CharacterDevice,
    BlockDevice,
    Directory,
    Socket,
    Other,
};

struct Failure
{
    enum class Reason
    {
        None,
        Missing,    // no such file
        NotRegular, // `type` says what it is
        TooLarge,   // `size` is above `limit`
        NoMemory,   // `size` bytes could not be held
        System,     // `system` holds the system's message (permissions, I/O error...)
    };
    Reason reason = Reason::None;
    Type type = Type::Regular;
    qint64 size = -1; // of the file, when known
    qint64 limit = 0;
    QString system;

    bool failed() const { return reason != Reason::None; }
};

// Opens `path` read-only when it names a regular file; `file` must not be open. The file keeps
// `path` as its name (so that a picture reader can go by its suffix).
[[nodiscard]] bool open(const QString &path, QFile &file, Failure &failure);
// The whole file, when it holds at most `limit` bytes.
[[nodiscard]] bool read(const QString &path, qint64 limit, QByteArray &data, Failure &failure);
// Its first `count` bytes (fewer when it is shorter).
[[nodiscard]] bool readHead(const QString &path, int count, QByteArray &data, Failure &failure);

// For vardel-pack, in English: "a FIFO", "a directory"... and the whole failure, e.g. "is not a
// regular file but a FIFO", "has 3000000000 bytes, more than the 2147483588 bytes ...".
QString typeName(Type type);
QString describe(const Failure &failure);
// The same in French, for the program's log.
QString typeNameFr(Type type);
QString describeFr(const Failure &failure);

} // namespace regularfile
