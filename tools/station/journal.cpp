#include "journal.h"

#include "app/oserror.h"
#include "writeall.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder's entry of a new file reaches the disk only with the folder itself.
void syncFolder(const QString &path)
{
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

} // namespace

Journal::~Journal()
{
    if (fd >= 0)
        ::close(fd);
}

bool Journal::open(const QString &path, QString &error)
{
    fileName = path;
    const QByteArray name = QFile::encodeName(path);
    struct stat before = {};
    const bool existed = ::stat(name.constData(), &before) == 0;
    if (existed && !S_ISREG(before.st_mode)) {
        error = QStringLiteral("le journal %1 ne peut pas être ouvert : %2")
                    .arg(QDir::toNativeSeparators(path),
                         S_ISDIR(before.st_mode) ? osErrorText(EISDIR)
                                                 : QStringLiteral("ce n'est pas un fichier "
                                                                  "ordinaire"));
        return false;
    }
    // Without blocking: a FIFO put in its place meanwhile would wait for a reader for ever (it
    // is refused below, being no file).
    fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    struct stat info = {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int why = fd < 0 ? errno : EINVAL;
        error = QStringLiteral("le journal %1 ne peut pas être ouvert : %2")
                    .arg(QDir::toNativeSeparators(path),
                         fd < 0 ? osErrorText(why)
                                : QStringLiteral("ce n'est pas un fichier ordinaire"));
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return false;
    }
    (void)::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    if (!existed)
        syncFolder(path);
    // Does the file end with a whole line?
    if (info.st_size > 0) {
        const int reader = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        char last = '\n';
        if (reader >= 0) {
            if (::pread(reader, &last, 1, info.st_size - 1) != 1)
                last = '\n';
            ::close(reader);
        }
        lineOpen = last != '\n';
    }
    return true;
}

QJsonObject Journal::record(QJsonObject fields)
{
    fields.insert(QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    fields.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    return fields;
}

bool Journal::append(const QJsonObject &record, QString &error)
{
    if (fd < 0) {
        error = QStringLiteral("le journal n'est pas ouvert");
        return false;
    }
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if (lineOpen)
        line.prepend('\n');
    // One write for the whole line: with O_APPEND it lands after whatever the file holds, and
    // a process killed meanwhile leaves either all of it or nothing.
    const qsizetype written = writeAll(fd, line);
    if (written < line.size()) {
        error = QStringLiteral("le journal %1 ne peut pas être écrit : %2")
                    .arg(QDir::toNativeSeparators(fileName), osErrorText(errno));
        lineOpen = lineOpen || written > 0;
        return false;
    }
    lineOpen = false;
    if (::fsync(fd) != 0) {
        error = QStringLiteral("le journal %1 ne peut pas être mis sur le disque : %2")
                    .arg(QDir::toNativeSeparators(fileName), osErrorText(errno));
        return false;
    }
    return true;
}

bool Journal::read(const QString &path, QList<QJsonObject> &records, QString &error)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("le journal %1 ne peut pas être lu : %2")
                    .arg(QDir::toNativeSeparators(path),
                         QFileInfo::exists(path) ? file.errorString()
                                                 : QStringLiteral("il n'existe pas"));
        return false;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break; // torn by a power cut
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject() && document.object().value(QStringLiteral("id")).isString())
            records << document.object();
    }
    return true;
}
