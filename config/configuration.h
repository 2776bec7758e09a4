#pragma once

#include "records.h"

#include <QList>
#include <QObject>
#include <QString>

// The in-memory form of configuration.xml. Written once by load() on the configuration worker,
// then only read.
class Configuration : public QObject
{
    Q_OBJECT

public:
    Configuration();
    ~Configuration() override;

    // The configuration directory: application directory, separator, then ".\configuration\"
    // written with the platform's separator. directoryFor() is the rule itself.
    static QString directory();
    static QString directoryFor(const QString &applicationDir, QChar separator);
    static QString filePath(); // directory() + "configuration.xml"

    [[nodiscard]] bool load();
    [[nodiscard]] bool checkSignature();

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
};
