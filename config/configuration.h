#pragma once

#include "crypto/sealedfile.h"
#include "records.h"

#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>

class QIODevice;

Q_DECLARE_LOGGING_CATEGORY(lcConfiguration)

// The in-memory form of configuration.xml. Written once by load() on the configuration worker,
// then only read.
class Configuration : public QObject
{
    Q_OBJECT

public:
    // An hterm element that added no HTerminal, and why.
    struct IgnoredHTerminal
    {
        QString path;
        SealedFile::Status status; // Ok when the file is sealed but its content is too long
        int contentSize = 0;       // bytes kept from the file when it was too long
    };

    // Reads the configuration directory of the program (directory()).
    Configuration();
    // Reads `configurationDirectory` instead, which ends with a separator: for vardel-pack,
    // which checks a package before it ships, and for the tests.
    explicit Configuration(const QString &configurationDirectory);
    ~Configuration() override;

    // The configuration directory: application directory, separator, then ".\configuration\"
    // written with the platform's separator. directoryFor() is the rule itself.
    static QString directory();
    static QString directoryFor(const QString &applicationDir, QChar separator);
    static QString filePath(); // directory() + "configuration.xml"

    // The directory this object reads, and its configuration.xml.
    QString configurationDirectory() const;
    QString configurationFile() const;

    // True when configuration.xml could be opened, however much of it could be read.
    [[nodiscard]] bool load();
    // True when the stored signature is that of the file, under the built-in public key.
    [[nodiscard]] bool checkSignature();
    // The XML reading of load(), on an open device.
    void read(QIODevice &device);

    QString getImage() const { return terminal->image; }
    qint32 getDelayReboot() const { return terminal->delayReboot; }
    QString getTitle() const { return operation->title; }
    QString getDescription() const { return operation->description; }
    QList<Batch *> getBatches() const { return batches; }
    QList<HTerminal *> getHTerminals() const { return hterms; }

    Terminal *terminal;
    Operation *operation;
    QList<HTerminal *> hterms;
    QList<Batch *> batches;
    QString signature;
    // Not used by the program: what vardel-pack reports to the package maker.
    QList<IgnoredHTerminal> ignoredHTerminals;

private:
    void readHTerminal(const QString &name);

    QString fixedDirectory; // empty: directory()
};
