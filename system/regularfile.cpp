#include "regularfile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QVector>

#include <iterator>
#include <new>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace regularfile {
namespace {

#ifdef Q_OS_UNIX
Type typeOf(mode_t mode)
{
    if (S_ISREG(mode))
        return Type::Regular;
    if (S_ISFIFO(mode))
        return Type::Fifo;
    if (S_ISCHR(mode))
        return Type::CharacterDevice;
    if (S_ISBLK(mode))
        return Type::BlockDevice;
    if (S_ISDIR(mode))
        return Type::Directory;
    if (S_ISSOCK(mode))
        return Type::Socket;
    return Type::Other;
}

bool systemFailure(int error, Failure &failure)
{
    failure.reason = error == ENOENT ? Failure::Reason::Missing : Failure::Reason::System;
    failure.system = qt_error_string(error);
    return false;
}
#endif

bool notRegular(Type type, Failure &failure)
{
    failure.reason = Failure::Reason::NotRegular;
    failure.type = type;
    return false;
}

} // namespace

bool open(const QString &path, QFile &file, Failure &failure)
{
    failure = Failure();
    file.setFileName(path);
#ifdef Q_OS_UNIX
    // A look first, which opens nothing: opening a device can act on it (a serial line raises
    // its modem lines), and opening a FIFO for reading waits for a writer.
    const QByteArray name = QFile::encodeName(path);
    struct stat status;
    if (::stat(name.constData(), &status) != 0)
        return systemFailure(errno, failure);
    if (!S_ISREG(status.st_mode))
        return notRegular(typeOf(status.st_mode), failure);
    // The path may have been replaced since: open without blocking, and look again at what
    // was opened.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return systemFailure(errno, failure);
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        return systemFailure(error, failure);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return notRegular(typeOf(status.st_mode), failure);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK); // no effect on a regular file
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        failure.reason = Failure::Reason::System;
        failure.system = file.errorString();
        return false;
    }
    failure.size = status.st_size;
    return true;
#else
    const QFileInfo info(path);
    if (!info.exists()) {
        failure.reason = Failure::Reason::Missing;
        return false;
    }
    if (!info.isFile())
        return notRegular(info.isDir() ? Type::Directory : Type::Other, failure);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        failure.reason = Failure::Reason::System;
        failure.system = file.errorString();
        return false;
    }
    failure.size = file.size();
    return true;
#endif
}

namespace {

// The rest of an open file, `failure.size` bytes as open() found them, when that is at most
// `limit`.
bool readOpen(QFile &file, qint64 limit, QByteArray &data, Failure &failure)
{
    const qint64 size = failure.size;
    failure.limit = limit;
    if (size > limit) {
        failure.reason = Failure::Reason::TooLarge;
        return false;
    }
    try {
        data.resize(int(size));
    } catch (const std::bad_alloc &) {
        failure.reason = Failure::Reason::NoMemory;
        return false;
    }
    // Exactly the size the file had when it was opened: a file that changes while it is read
    // is refused rather than read half old, half new.
    qint64 got = 0;
    while (got < size) {
        const qint64 n = file.read(data.data() + got, size - got);
        if (n <= 0) {
            failure.reason = n < 0 ? Failure::Reason::System : Failure::Reason::Shrank;
            failure.system = n < 0 ? file.errorString() : QString();
            data.clear();
            return false;
        }
        got += n;
    }
    char probe;
    const qint64 more = file.read(&probe, 1);
    if (more != 0) {
        failure.reason = more < 0 ? Failure::Reason::System : Failure::Reason::Grew;
        failure.system = more < 0 ? file.errorString() : QString();
        data.clear();
        return false;
    }
    return true;
}

// Whether `name`, relative to a folder, stays in it: neither absolute nor with a ".." part,
// whichever separator ("/" or "\", the platforms' two) it is written with.
bool staysInside(const QString &name, Failure &failure)
{
    const bool drive = name.size() >= 2 && name[1] == QLatin1Char(':') && name[0].isLetter();
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')) || drive) {
        failure.reason = Failure::Reason::Absolute;
        return false;
    }
    const QVector<QStringRef> parts = name.splitRef(QRegularExpression(QStringLiteral("[/\\\\]")));
    for (const QStringRef &part : parts) {
        if (part == QLatin1String("..")) {
            failure.reason = Failure::Reason::ParentFolder;
            return false;
        }
    }
    return true;
}

// Whether `file`, opened from `path`, lies inside `directory` once every symbolic link is
// followed. Its real path is looked up after it was opened and must still name what was
// opened: a link changed in between is caught either way.
bool openedInside(const QString &directory, const QString &path, const QFile &file,
                  Failure &failure)
{
    const QString canonical = QFileInfo(directory).canonicalFilePath();
    const QString folder =
        canonical.endsWith(QLatin1Char('/')) ? canonical : canonical + QLatin1Char('/');
    const QString real = QFileInfo(path).canonicalFilePath();
    bool inside = !canonical.isEmpty() && real.startsWith(folder);
#ifdef Q_OS_UNIX
    struct stat opened;
    struct stat named;
    inside = inside && ::fstat(file.handle(), &opened) == 0 &&
             ::stat(QFile::encodeName(real).constData(), &named) == 0 &&
             opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
#endif
    if (!inside) {
        failure.reason = Failure::Reason::LinkOutside;
        failure.system = real.isEmpty() ? QFileInfo(path).symLinkTarget() : real;
    }
    return inside;
}

} // namespace

bool read(const QString &path, qint64 limit, QByteArray &data, Failure &failure)
{
    data.clear();
    QFile file;
    return open(path, file, failure) && readOpen(file, limit, data, failure);
}

bool readInside(const QString &directory, const QString &name, qint64 limit, QByteArray &data,
                Failure &failure)
{
    data.clear();
    failure = Failure();
    QFile file;
    const QString path = directory + name;
    return staysInside(name, failure) && open(path, file, failure) &&
           openedInside(directory, path, file, failure) && readOpen(file, limit, data, failure);
}

bool readHead(const QString &path, int count, QByteArray &data, Failure &failure)
{
    data.clear();
    QFile file;
    if (!open(path, file, failure))
        return false;
    data = file.read(count);
    if (file.error() != QFileDevice::NoError) {
        failure.reason = Failure::Reason::System;
        failure.system = file.errorString();
        return false;
    }
    return true;
}

namespace {

using wording::Language;
using wording::Text;

// Indexed by Type.
constexpr Text kTypes[] = {
    {"a regular file", "un fichier ordinaire"},
    {"a FIFO", "un tube nommé (FIFO)"},
    {"a character device", "un périphérique en mode caractère"},
    {"a block device", "un périphérique en mode bloc"},
    {"a directory", "un répertoire"},
    {"a socket", "une socket"},
    {"something else", "un objet d'un autre type"},
};
static_assert(std::size(kTypes) == size_t(Type::Other) + 1, "one text per type");

// Indexed by Failure::Reason; {type}, {size}, {limit} and {system} stand for the figures.
constexpr Text kReasons[] = {
    {"", ""},
    {"does not exist", "est introuvable"},
    {"is not a regular file but {type}", "n'est pas un fichier ordinaire mais {type}"},
    {"has {size} bytes, more than the {limit} bytes that can be read",
     "fait {size} octets, plus que les {limit} octets admis"},
    {"has {size} bytes, more than the memory available can hold",
     "fait {size} octets, plus que la mémoire disponible"},
    {"cannot be read: {system}", "ne peut pas être lu : {system}"},
    {"became shorter while it was read", "a raccourci pendant sa lecture"},
    {"grew while it was read", "a grandi pendant sa lecture"},
    {"is outside the package folder: its name climbs out of it (\"..\")",
     "est hors du dossier du package : son nom en sort (« .. »)"},
    {"is outside the package folder: its name is an absolute path",
     "est hors du dossier du package : son nom est un chemin absolu"},
    {"is outside the package folder: a symbolic link leads to {system}",
     "est hors du dossier du package : un lien symbolique mène à {system}"},
};
static_assert(std::size(kReasons) == size_t(Failure::Reason::LinkOutside) + 1,
              "one text per reason");

} // namespace

QString typeName(Type type, Language language)
{
    return kTypes[int(type)].in(language);
}

QString describe(const Failure &failure, Language language)
{
    return kReasons[int(failure.reason)]
        .in(language)
        .replace(QLatin1String("{type}"), typeName(failure.type, language))
        .replace(QLatin1String("{size}"), QString::number(failure.size))
        .replace(QLatin1String("{limit}"), QString::number(failure.limit))
        .replace(QLatin1String("{system}"), failure.system);
}

} // namespace regularfile
