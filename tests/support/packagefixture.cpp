#include "packagefixture.h"

#include "pack.h"

#include <QDir>
#include <QFile>
#include <QImage>

namespace fixture {

QByteArray unsignedXml()
{
    return QByteArrayLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<configuration><terminal><name>Iris</name><code>IR5</code><image>terminal.png</image>"
        "<delayReboot>60000</delayReboot></terminal>\n"
        "<operation><title>Mise \xc3\xa0 jour</title><description>V2</description></operation>\n"
        "<hterm>hterm.bin</hterm><batch id=\"1\"><file>app.bin</file></batch>\n"
        "</configuration>\n");
}

const RsaPrivateKey &buildKey()
{
    static const RsaPrivateKey key = [] {
        RsaPrivateKey read{};
        QString error;
        QFile file(QStringLiteral(VARDEL_SIGNING_PRIVATE_KEY));
        if (!file.open(QIODevice::ReadOnly) ||
            !pack::privateKeyFromPem(file.readAll(), read, error))
            qFatal("fixture: cannot read " VARDEL_SIGNING_PRIVATE_KEY " %s", qUtf8Printable(error));
        return read;
    }();
    return key;
}

QByteArray signXml(const QByteArray &xml)
{
    QByteArray out;
    QString error;
    return pack::sign(xml, buildKey(), out, error) ? out : QByteArray();
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
    const QDir d(dir);
    const QByteArray hterm = QByteArray(8, '\0') + QByteArray::fromHex("123456");
    return d.mkpath(dir) && picture.save(d.filePath(QStringLiteral("terminal.png"))) &&
           write(d.filePath(QStringLiteral("hterm.bin")), pack::seal(hterm)) &&
           write(d.filePath(QStringLiteral("app.bin")), pack::seal(QByteArray(300, 'a'))) &&
           write(d.filePath(QStringLiteral("configuration.xml")), signXml(unsignedXml()));
}

} // namespace fixture
