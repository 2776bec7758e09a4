#pragma once

#include "crypto/sealedfile.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>

// Plain records of the configuration model, filled once by the reader and then only read. The
// two a configuration may hold by the hundred thousand, Application and Batch, are plain
// classes: a QObject each would double what reading such a file costs.

class Terminal : public QObject
{
    Q_OBJECT
public:
    QString name;
    QString code;
    QString image;          // full path of the terminal picture
    QByteArray picture;     // its bytes as the package check read them; empty: no picture
    qint32 delayReboot = 0; // milliseconds
};

class Operation : public QObject
{
    Q_OBJECT
public:
    QString title;
    QString description; // plain text or an HTML fragment
};

// One file to install, by its full path, and its content as the package check read it: what
// is advertised and sent to the terminal, never read again from the disk.
class Application
{
public:
    explicit Application(const QString &path);
    // The file's bytes, as read: decrypted in place into `content`.
    void setContent(QByteArray bytes);
    // Why it could not be read.
    void setUnreadable(const regularfile::Failure &failure);

    QString path;
    // Ok, or why the content cannot be sent: LengthExceedsContent when the plain length is
    // beyond the decrypted bytes, Unreadable until setContent() (content.failure says why).
    SealedFile::Status status = SealedFile::Status::Unreadable;
    SealedFile content;
};

class Batch
{
public:
    Batch() = default;
    ~Batch();
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    qint32 id = 0;
    QList<Application *> files;
    // What the terminal must list once the batch is installed (its expect elements, verbatim):
    // entries of its application list, name and version as the terminal writes them
    // ("PAIEMENT120400"). Empty: the batch declares none, and its installation is not checked
    // against the list.
    QStringList expected;
};

// One accepted hardware configuration. Bytes 8 and 9 (16 bits) and byte 10 form the catalogue
// code; the other bytes are carried and not interpreted.
class HTerminal : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRecordSize = 128;
    std::array<quint8, kRecordSize> record{}; // zero-filled
};
