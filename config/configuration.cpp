#include "configuration.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>

#include <cstring>

Q_LOGGING_CATEGORY(lcConfiguration, "vardel.configuration", QtInfoMsg)

Configuration::Configuration() : terminal(new Terminal), operation(new Operation) {}

Configuration::Configuration(const QString &configurationDirectory) : Configuration()
{
    fixedDirectory = configurationDirectory;
}

Configuration::~Configuration()
{
    delete terminal;
    delete operation;
    qDeleteAll(hterms);
    qDeleteAll(batches);
}

QString Configuration::directoryFor(const QString &applicationDir, QChar separator)
{
    // ".\configuration\" on Windows; on a "/" platform the same path, "./configuration/".
    return applicationDir + separator + QLatin1Char('.') + separator +
           QStringLiteral("configuration") + separator;
}

QString Configuration::directory()
{
    return directoryFor(QCoreApplication::applicationDirPath(), QDir::separator());
}

QString Configuration::filePath()
{
    return directory() + QStringLiteral("configuration.xml");
}

QString Configuration::configurationDirectory() const
{
    return fixedDirectory.isEmpty() ? directory() : fixedDirectory;
}

QString Configuration::configurationFile() const
{
    return configurationDirectory() + QStringLiteral("configuration.xml");
}

bool Configuration::load()
{
    const QString searched =
        fixedDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : fixedDirectory;
    qCInfo(lcConfiguration, "Configuration::load searching in %s", searched.toLatin1().constData());

    // One reading: what is parsed is what is checked, whatever happens to the file meanwhile.
    QByteArray bytes;
    if (!regularfile::read(configurationFile(), kMaxFileSize, bytes, fileFailure)) {
        failure = QStringLiteral("Le fichier de configuration (") + configurationFile() +
                  QStringLiteral(") ") + regularfile::describeFr(fileFailure) +
                  QStringLiteral(" : refusé");
        return false;
    }
    readBytes(bytes);
    return true;
}

void Configuration::readBytes(const QByteArray &bytes)
{
    raw = bytes;
    QBuffer buffer(&raw);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    read(buffer);
    // The signature text comes from the raw bytes, not from the XML reading.
    signature = signature::extractText(raw);
}

QString Configuration::sha256() const
{
    if (raw.isNull())
        return QString();
    return QString::fromLatin1(QCryptographicHash::hash(raw, QCryptographicHash::Sha256).toHex());
}

bool Configuration::checkSignature()
{
    RsaPublicKey key;
    signature::builtInKey(key);
    trailer = signature::UnsignedContent();
    lastVerdict = signature::check(raw, signature, key, &trailer);
    if (lastVerdict == signature::Verdict::Valid) {
        failure.clear();
        return true;
    }
    failure = QStringLiteral("Signature du fichier de configuration refusée : ") +
              signature::describeFr(lastVerdict, trailer);
    return false;
}

void Configuration::readHTerminal(const QString &name)
{
    const QString path = configurationDirectory() + name;
    SealedFile sealed;
    const SealedFile::Status status = SealedFile::read(path, sealed, false);
    if (status != SealedFile::Status::Ok) {
        ignoredHTerminals.append({path, status, 0, sealed.failure, sealed.fileSize});
        return;
    }
    // The first L decrypted bytes (all of them when L is not smaller), into a zero-filled
    // record; a content that does not fit the record is not taken at all.
    const QByteArray content = sealed.plain();
    if (content.size() > HTerminal::kRecordSize) {
        ignoredHTerminals.append({path, status, content.size(), sealed.failure, sealed.fileSize});
        return;
    }
    auto *hterm = new HTerminal;
    std::memcpy(hterm->record.data(), content.constData(), size_t(content.size()));
    hterms.append(hterm);
}
