#include "packagefixture.h"

#include "pack.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>

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

QByteArray unsignedXml(int delayReboot)
{
    return unsignedXml().replace("<delayReboot>60000</delayReboot>",
                                 "<delayReboot>" + QByteArray::number(delayReboot) +
                                     "</delayReboot>");
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

QByteArray signXml(const QByteArray &xml, const QString &dir)
{
    static const QTemporaryDir files;
    static const bool written = writeFiles(files.path() + QLatin1Char('/'));
    QByteArray out;
    QString error;
    if (!written || !pack::sign(xml, dir.isEmpty() ? files.path() + QLatin1Char('/') : dir,
                                buildKey(), out, error))
        qWarning("fixture: cannot sign: %s", qUtf8Printable(error));
    return out;
}

QByteArray signWithoutDigests(const QByteArray &xml)
{
    const int close = xml.lastIndexOf("</");
    QString text;
    if (close < 0 || !pack::signatureText(xml.left(close), buildKey(), text))
        return QByteArray();
    return xml.left(close) + "<signature>" + text.toLatin1() + "</signature>\n" + xml.mid(close);
}

bool write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QList<QPair<QString, QByteArray>> files()
{
    const QByteArray hterm = QByteArray(8, '\0') + QByteArray::fromHex("123456");
    return {{QStringLiteral("app.bin"), pack::seal(QByteArray(300, 'a'))},
            {QStringLiteral("hterm.bin"), pack::seal(hterm)},
            {QStringLiteral("terminal.png"), png(8, 8)}};
}

QList<QByteArray> otherFiles()
{
    return {pack::seal("another payment application"),
            pack::seal(QByteArray(8, '\0') + "\x65\x43\x21"), png(9, 9)};
}

bool writeFiles(const QString &dir)
{
    const QDir d(dir);
    bool written = d.mkpath(dir);
    for (const auto &file : files())
        written = written && write(d.filePath(file.first), file.second);
    return written;
}

bool writePackage(const QString &dir)
{
    static const QByteArray configuration = signXml(unsignedXml()); // signed once
    return writeFiles(dir) &&
           write(QDir(dir).filePath(QStringLiteral("configuration.xml")), configuration);
}

QByteArray withAppendedBatch(const QByteArray &signedXml)
{
    const int end = signedXml.lastIndexOf("</signature>") + 12;
    return signedXml.left(end) +
           "<operation><title>Pirate</title><description>x</description></operation>"
           "<batch id=\"9\"><file>mirandol.agn</file></batch>" +
           signedXml.mid(end);
}

QString summary(const Configuration &c)
{
    QStringList out{c.terminal->name, c.terminal->code,
                    c.getImage(),     QString::number(c.getDelayReboot()),
                    c.getTitle(),     c.getDescription()};
    for (const Batch *batch : c.getBatches()) {
        out << QStringLiteral("batch %1").arg(batch->id);
        for (const Application *file : batch->files)
            out << file->path;
        for (const QString &entry : batch->expected)
            out << QStringLiteral("expect ") + entry;
    }
    for (const Configuration::NamedFile &file : c.namedFiles()) {
        if (file.hasDigest)
            out << file.name + QLatin1Char('=') + file.digest;
    }
    QStringList hterms;
    for (const HTerminal *hterm : c.getHTerminals())
        hterms << QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(hterm->record.data()), HTerminal::kRecordSize)
                .toHex());
    out << hterms.join(QLatin1Char(' ')).remove(QRegularExpression(QStringLiteral("(00)+\\b")));
    return out.join(QLatin1Char('|'));
}

QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG") ? bytes : QByteArray();
}

QByteArray pngHeader(quint32 width, quint32 height)
{
    const auto crc32 = [](const QByteArray &bytes) {
        quint32 crc = 0xFFFFFFFF;
        for (const char c : bytes) {
            crc ^= quint8(c);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
        return ~crc;
    };
    const auto be32 = [](quint32 v) {
        return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v);
    };
    const auto chunk = [&](const QByteArray &type, const QByteArray &data) {
        return be32(quint32(data.size())) + type + data + be32(crc32(type + data));
    };
    // 8-bit RGBA; the image data: a zlib stream of 64 zero bytes.
    return QByteArray("\x89PNG\r\n\x1a\n", 8) +
           chunk("IHDR", be32(width) + be32(height) + QByteArray::fromHex("0806000000")) +
           chunk("IDAT", qCompress(QByteArray(64, '\0')).mid(4)) + chunk("IEND", QByteArray());
}

} // namespace fixture
