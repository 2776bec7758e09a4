#pragma once

#include <QByteArray>
#include <QString>

// A file that only grows, one line at a time, each line forced to the disk before append()
// returns: the journal and the file of acknowledged ids beside it share it. It is opened only
// as a regular file, never through a symbolic link (refused with a message, as vardel-pack
// refuses one); a new file's entry is forced to the disk with its folder. A line torn by a
// power cut or a full disk is left as it is, and the next one starts on a line of its own.
class AppendFile
{
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Opens (or creates) the file; `what` names it in messages ("le journal"). False with
    // `error` (French).
    [[nodiscard]] bool open(const QString &path, const QString &what, QString &error);
    bool isOpen() const { return fd >= 0; }
    QString path() const { return fileName; }

    // Appends `line` (without its '\n') with one write and forces it to the disk; false with
    // `error` (French) and errno set when it could not.
    [[nodiscard]] bool append(const QByteArray &line, QString &error);

private:
    int fd = -1;
    QString fileName;
    QString name; // `what`, for messages
    bool lineOpen = false; // the file ends in the middle of a line
};
