#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <array>

// Plain records of the configuration model, filled once by the reader and then only read.

class Terminal : public QObject
{
    Q_OBJECT
public:
    QString name;
    QString code;
    QString image;          // full path of the terminal picture
    qint32 delayReboot = 0; // milliseconds
};

class Operation : public QObject
{
    Q_OBJECT
public:
    QString title;
    QString description; // plain text or an HTML fragment
};

// One file to install, by its full path.
class Application : public QObject
{
    Q_OBJECT
public:
    explicit Application(const QString &path, QObject *parent = nullptr);
    QString path;
};

class Batch : public QObject
{
    Q_OBJECT
public:
    ~Batch() override;
    qint32 id = 0;
    QList<Application *> files;
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
