#include "pack.h"

#include "system/regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {

WriteCalls &writeCalls()
{
    static WriteCalls calls{::write, ::fsync, ::close, ::rename, ::link};
    return calls;
}

bool readFile(const QString &path, QByteArray &data, QString &error, qint64 limit)
{
    regularfile::Failure failure;
    if (regularfile::read(path, limit, data, failure))
        return true;
    error = QStringLiteral("cannot read %1: it %2")
                .arg(path, regularfile::describe(failure, wording::Language::English));
    return false;
}

namespace {

// The temporary file beside `target`, and what becomes of it.
class Temporary
{
public:
    ~Temporary()
    {
        if (fd >= 0)
            ::close(fd);
        if (!name.isEmpty())
            ::unlink(name.constData());
    }
    bool create(const QByteArray &target, mode_t mode)
    {
        name = target + ".XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            name.clear();
            return false;
        }
        return ::fchmod(fd, mode) == 0;
    }
    void committed() { name.clear(); }

    QByteArray name; // empty once renamed (or never made)
    int fd = -1;
};

} // namespace

bool writeFile(const QString &path, const QByteArray &data, QString &error, bool privateFile,
               bool replace)
{
    // Never through a symbolic link: whoever can make the target a link (another user, in a
    // folder anyone may write to) would choose which file is replaced. The check is on the name
    // itself; the rename below replaces a link made after it, never what the link names.
    const QByteArray target = QFile::encodeName(path);
    struct stat existing;
    const bool exists = ::lstat(target.constData(), &existing) == 0;
    if (exists && S_ISLNK(existing.st_mode)) {
        error = QStringLiteral("cannot write %1: it is a symbolic link (to %2), and vardel-pack "
                               "does not write through links; remove it, or name the file it "
                               "leads to")
                    .arg(QDir::toNativeSeparators(path), QFileInfo(path).symLinkTarget());
        return false;
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        error = QStringLiteral("cannot write %1: it is not a regular file")
                    .arg(QDir::toNativeSeparators(path));
        return false;
    }
    // The permissions of the file it replaces, or those of a new file (0600 for a private
    // file, whatever the umask).
    mode_t mode = 0600;
    if (!privateFile) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = exists ? (existing.st_mode & 07777) : (0666 & ~mask);
    }
    const QString outcome = exists ? QStringLiteral("%1 is left as it was").arg(path)
                                   : QStringLiteral("no file was made");
    const auto failed = [&](const char *step, int cause) {
        error = QStringLiteral("cannot write %1: %2 (while %3; %4)")
                    .arg(path, qt_error_string(cause), QLatin1String(step), outcome);
        return false;
    };

    Temporary temporary;
    if (!temporary.create(target, mode))
        return failed("creating a temporary file beside it", errno);
    // Every byte written, then flushed to the disk, closed, and only then put in place.
    const char *next = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const size_t chunk = size_t(qMin<qint64>(left, 1 << 30));
        const ssize_t written = writeCalls().write(temporary.fd, next, chunk);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return failed("writing", errno);
        if (written == 0)
            return failed("writing", EIO);
        next += written;
        left -= written;
    }
    if (writeCalls().fsync(temporary.fd) != 0 && errno != EINVAL)
        return failed("flushing it to the disk", errno);
    const int fd = temporary.fd;
    temporary.fd = -1; // closed once, whatever the outcome
    if (writeCalls().close(fd) != 0)
        return failed("closing it", errno);
    if (!replace) {
        // Linked under the name only if it is free now; the temporary name goes either way.
        if (writeCalls().link(temporary.name.constData(), target.constData()) != 0) {
            if (errno == EEXIST) {
                error = QStringLiteral("%1 appeared meanwhile: it is left as it is")
                            .arg(QDir::toNativeSeparators(path));
                return false;
            }
            return failed("putting it in place", errno);
        }
        return true; // the temporary name is removed by `temporary`
    }
    if (writeCalls().rename(temporary.name.constData(), target.constData()) != 0)
        return failed("putting it in place", errno);
    temporary.committed();
    return true;
}

} // namespace pack
