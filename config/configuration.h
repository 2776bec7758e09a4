#pragma once

#include "crypto/sealedfile.h"
#include "records.h"
#include "regularfile.h"
#include "signature.h"

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
        regularfile::Failure failure; // why it could not be read (Unreadable, TooLarge)
        qint64 fileSize = -1;
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

    // The most configuration.xml may hold; a larger file is refused unread.
    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

    // True when configuration.xml could be read, however much of it could be parsed. The file
    // is read once, whole, and only when it is a regular file of at most kMaxFileSize bytes;
    // the XML reading, the signature text and checkSignature() all work on those bytes.
    [[nodiscard]] bool load();
    // True when the stored signature is that of the bytes load() read, under the built-in
    // public key, and nothing unsigned follows it.
    [[nodiscard]] bool checkSignature();
    // What load() does with the bytes it read: the XML reading (in text mode, as the program
    // always read the file) and the signature text. For the tests and the fuzz target.
    void readBytes(const QByteArray &raw);
    // The XML reading of load(), on an open device.
    void read(QIODevice &device);

    // Where the XML reading stopped on an error, as the reader reports it; an empty message
    // when it read the document to its end.
    struct XmlError
    {
        qint64 line = 0;
        qint64 column = 0;
        QString message;
    };
    const XmlError &xmlError() const { return xmlStop; }
    // Why load() failed (the file could not be read).
    const regularfile::Failure &readFailure() const { return fileFailure; }
    // The outcome of the last checkSignature(), with what follows the signature element.
    signature::Verdict verdict() const { return lastVerdict; }
    const signature::UnsignedContent &unsignedContent() const { return trailer; }
    // Why the file was refused, one line in French for the log; empty when it was not.
    QString failureLine() const { return failure; }
    // SHA-256 of the bytes load() read (lower-case hexadecimal); empty before.
    QString sha256() const;

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
    QByteArray raw;         // configuration.xml as load() read it
    XmlError xmlStop;
    regularfile::Failure fileFailure;
    signature::Verdict lastVerdict = signature::Verdict::NoText;
    signature::UnsignedContent trailer;
    QString failure;
};
