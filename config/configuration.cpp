#include "configuration.h"

#include "signature.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

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

    QFile file(configurationFile());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    read(file);
    file.close();

    // The signature text comes from the raw bytes, not from the XML reading.
    QFile raw(configurationFile());
    if (raw.open(QIODevice::ReadOnly))
        signature = signature::extractText(raw.readAll());
    return true;
}

bool Configuration::checkSignature()
{
    QFile file(configurationFile());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray raw = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    RsaPublicKey key;
    signature::builtInKey(key);
    return signature::check(raw, signature, key) == signature::Verdict::Valid;
}

void Configuration::readHTerminal(const QString &name)
{
    const QString path = configurationDirectory() + name;
    SealedFile sealed;
    const SealedFile::Status status = SealedFile::read(path, sealed, false);
    if (status != SealedFile::Status::Ok) {
        ignoredHTerminals.append({path, status, 0});
        return;
    }
    // The first L decrypted bytes (all of them when L is not smaller), into a zero-filled
    // record; a content that does not fit the record is not taken at all.
    const QByteArray content = sealed.plain();
    if (content.size() > HTerminal::kRecordSize) {
        ignoredHTerminals.append({path, status, content.size()});
        return;
    }
    auto *hterm = new HTerminal;
    std::memcpy(hterm->record.data(), content.constData(), size_t(content.size()));
    hterms.append(hterm);
}
