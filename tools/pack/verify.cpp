#include "pack.h"

#include "config/configuration.h"
#include "config/signature.h"
#include "crypto/sealedfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QXmlStreamReader>

namespace pack {
namespace {

constexpr int kAdvertisementRoom = 28; // name + length text in the advertisement frame

// A path as the package maker should see it, line breaks and tabs made visible.
QString quoted(const QString &path)
{
    QString shown = path;
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
    return QLatin1Char('"') + shown + QLatin1Char('"');
}

QString sealedProblem(SealedFile::Status status)
{
    switch (status) {
    case SealedFile::Status::Ok:
        break;
    case SealedFile::Status::Unreadable:
        return QStringLiteral("cannot be read");
    case SealedFile::Status::TooShort:
        return QStringLiteral("is not a valid sealed file: shorter than its 4-byte header");
    case SealedFile::Status::NotWholeBlocks:
        return QStringLiteral("is not a valid sealed file: its encrypted part is not a whole "
                              "number of 16-byte blocks");
    case SealedFile::Status::LengthExceedsContent:
        return QStringLiteral("is not a valid sealed file: its plain length is larger than its "
                              "content");
    }
    return QString();
}

// The advertisement sends the upper-case file name and the plain length in 28 bytes.
QString advertisementProblem(const QString &path, quint32 plainLength)
{
    const int cut = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QDir::separator()));
    const QString name = path.mid(cut + 1).toUpper();
    const QString lengthText = plainLength <= 999999
                                   ? QStringLiteral("%1").arg(plainLength, 6, 10, QLatin1Char('0'))
                                   : QString::number(plainLength) + QLatin1Char(';');
    const int nameSize = qMax(name.size(), name.toLocal8Bit().size());
    if (nameSize + lengthText.size() <= kAdvertisementRoom)
        return QString();
    return QStringLiteral("package file %1: its name %2 and length text %3 exceed %4 "
                          "characters, so the installation would skip it")
        .arg(quoted(path), name, lengthText)
        .arg(kAdvertisementRoom);
}

void checkXml(const QString &path, QStringList &problems)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QXmlStreamReader reader(&file);
    while (!reader.atEnd())
        reader.readNext();
    if (reader.hasError())
        problems << QStringLiteral("configuration.xml is not well-formed XML (line %1, column "
                                   "%2: %3): the program stops reading there")
                        .arg(reader.lineNumber())
                        .arg(reader.columnNumber())
                        .arg(reader.errorString());
}

void checkImage(const Configuration &configuration, QStringList &problems)
{
    const QString image = configuration.getImage();
    if (image.isEmpty())
        return;
    if (!QFileInfo(image).isFile())
        problems << QStringLiteral("the terminal picture %1 is missing").arg(quoted(image));
    else if (!QImageReader(image).canRead())
        problems << QStringLiteral("the terminal picture %1 is not a picture the program can "
                                   "show")
                        .arg(quoted(image));
}

void checkHTerminals(const Configuration &configuration, QStringList &problems)
{
    for (const Configuration::IgnoredHTerminal &ignored : configuration.ignoredHTerminals) {
        QString why;
        if (ignored.status == SealedFile::Status::Unreadable)
            why = QFileInfo(ignored.path).isFile() ? QStringLiteral("cannot be read")
                                                   : QStringLiteral("is missing");
        else if (ignored.status != SealedFile::Status::Ok)
            why = sealedProblem(ignored.status);
        else
            why = QStringLiteral("holds %1 bytes, more than the %2-byte record")
                      .arg(ignored.contentSize)
                      .arg(HTerminal::kRecordSize);
        problems << QStringLiteral("hardware configuration file %1 %2; the program ignores it")
                        .arg(quoted(ignored.path), why);
    }
    if (configuration.hterms.isEmpty())
        problems << QStringLiteral("no usable hardware configuration (hterm): every terminal "
                                   "would fail the hardware check");
}

void checkBatches(const Configuration &configuration, QStringList &problems)
{
    const QList<Batch *> batches = configuration.getBatches();
    if (batches.isEmpty())
        problems << QStringLiteral("no batch: the installation would refuse to start");
    for (const Batch *batch : batches) {
        for (const Application *file : batch->files) {
            if (!QFileInfo(file->path).isFile()) {
                problems << QStringLiteral("package file %1 is missing").arg(quoted(file->path));
                continue;
            }
            SealedFile sealed;
            const SealedFile::Status status = SealedFile::read(file->path, sealed, true);
            if (status != SealedFile::Status::Ok) {
                problems << QStringLiteral("package file %1 %2")
                                .arg(quoted(file->path), sealedProblem(status));
                continue;
            }
            const QString skipped = advertisementProblem(file->path, sealed.plainLength);
            if (!skipped.isEmpty())
                problems << skipped;
        }
    }
}

} // namespace

QStringList verify(const QString &configurationDir)
{
    QString dir = configurationDir;
    if (!dir.endsWith(QLatin1Char('/')) && !dir.endsWith(QDir::separator()))
        dir += QLatin1Char('/');

    // The package read the way the program reads it.
    Configuration configuration(dir);
    if (!configuration.load())
        return {
            QStringLiteral("%1 is missing or unreadable").arg(configuration.configurationFile())};

    QStringList problems;
    checkXml(configuration.configurationFile(), problems);

    if (!configuration.checkSignature()) {
        // The program's check failed; say why.
        QFile file(configuration.configurationFile());
        const QByteArray raw = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        RsaPublicKey key;
        signature::builtInKey(key);
        problems << QStringLiteral("bad signature: %1")
                        .arg(signature::describe(
                            signature::check(raw, configuration.signature, key)));
    }

    checkImage(configuration, problems);
    checkHTerminals(configuration, problems);
    checkBatches(configuration, problems);
    return problems;
}

} // namespace pack
