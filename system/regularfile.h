#pragma once

#include "wording.h"

#include <QByteArray>
#include <QString>

class QFile;

// How the program and vardel-pack read the files of a package: only regular files, and never
// more than the reader can hold. A FIFO, a device, a socket or a directory is refused before it
// is opened for reading, so that nothing ever blocks on it; a file larger than the reader's
// limit is refused from its size, before anything is read. A file that configuration.xml names
// must moreover lie inside the package folder (readInside).
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
        Missing,      // no such file
        NotRegular,   // `type` says what it is
        TooLarge,     // `size` is above `limit`
        NoMemory,     // `size` bytes could not be held
        System,       // `system` holds the system's message (permissions, I/O error...)
        Shrank,       // the file became shorter while it was read
        Grew,         // the file grew while it was read
        ParentFolder, // the name climbs out of the folder ("..")
        Absolute,     // the name is an absolute path
        LinkOutside,  // a symbolic link leads out of the folder, to `system`
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
// read() of `directory` + `name` (`directory` ends with a separator), when the file lies inside
// `directory`: the name is relative and never climbs out of it, and what was opened, symbolic
// links followed, is inside it too.
[[nodiscard]] bool readInside(const QString &directory, const QString &name, qint64 limit,
                              QByteArray &data, Failure &failure);

// What the path is ("a FIFO", "un répertoire"...), and the whole failure, e.g. "is not a
// regular file but a FIFO", "fait 3000000000 octets, plus que les 2147483588 octets admis".
QString typeName(Type type, wording::Language language);
QString describe(const Failure &failure, wording::Language language);

} // namespace regularfile
