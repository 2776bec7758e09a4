#include "packagefixture.h"

#include "pack.h"

#include <QDir>
#include <QFile>
#include <QImage>

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace fixture {

QByteArray unsignedXml()
{
    return QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<configuration>\n"
                             "  <terminal><name>Iris</name><code>IR5</code>"
                             "<image>terminal.png</image><delayReboot>60000</delayReboot>"
                             "</terminal>\n"
                             "  <operation><title>Mise \xc3\xa0 jour</title>"
                             "<description>Version 2</description></operation>\n"
                             "  <hterm>hterm.bin</hterm>\n"
                             "  <batch id=\"1\"><file>app.bin</file></batch>\n"
                             "</configuration>\n");
}

QByteArray buildKeyPem()
{
    QByteArray pem;
    QString error;
    if (!pack::readFile(QStringLiteral(VARDEL_SIGNING_PRIVATE_KEY), pem, error))
        qFatal("fixture: %s", qUtf8Printable(error));
    return pem;
}

RsaPrivateKey keyFromPem(const QByteArray &pem)
{
    RsaPrivateKey key{};
    QString error;
    if (!pack::privateKeyFromPem(pem, key, error))
        qFatal("fixture: %s", qUtf8Printable(error));
    return key;
}

const RsaPrivateKey &buildKey()
{
    static const RsaPrivateKey key = keyFromPem(buildKeyPem());
    return key;
}

QByteArray freshPem()
{
    EVP_PKEY *key = EVP_RSA_gen(2048);
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const QByteArray pem(data, int(size));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

QByteArray signXml(const QByteArray &xml)
{
    QByteArray out;
    QString error;
    if (!pack::sign(xml, buildKey(), out, error))
        qWarning("fixture: %s", qUtf8Printable(error));
    return out;
}

bool write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

bool writePackage(const QString &dir)
{
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    const QByteArray hterm = QByteArray(8, '\0') + QByteArray::fromHex("123456");
    return QDir().mkpath(dir) && picture.save(QDir(dir).filePath(QStringLiteral("terminal.png"))) &&
           write(QDir(dir).filePath(QStringLiteral("hterm.bin")), pack::seal(hterm)) &&
           write(QDir(dir).filePath(QStringLiteral("app.bin")), pack::seal(QByteArray(300, 'a'))) &&
           write(QDir(dir).filePath(QStringLiteral("configuration.xml")), signXml(unsignedXml()));
}

} // namespace fixture
