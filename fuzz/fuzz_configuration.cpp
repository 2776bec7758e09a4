// The configuration reader on arbitrary bytes: the XML reading, the signature extraction and
// the signature check, then the files it names (hterm files of every shape), as the program
// runs them on the bytes it read.
// A file accepted as valid must carry nothing unsigned: it must mean exactly what the file cut
// right after the signature element means. The seeds hold a file signed with the development
// keys, so that mutations of what follows the signature reach the accepted case.

#include "config/configuration.h"
#include "config/signature.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cstdint>

namespace {

// A configuration directory with hterm files of every shape: a whole block, too short, not
// whole blocks, longer than the record.
QString hardwareFiles()
{
    const QString dir = QDir::tempPath() + QStringLiteral("/vardel-fuzz-configuration/");
    QDir().mkpath(dir);
    const QList<QPair<QString, QByteArray>> files{
        {QStringLiteral("h.bin"), QByteArray::fromHex("0000000a") + QByteArray(16, 'h')},
        {QStringLiteral("s.bin"), QByteArray(3, 's')},
        {QStringLiteral("p.bin"), QByteArray(21, 'p')},
        {QStringLiteral("l.bin"), QByteArray::fromHex("ffffffff") + QByteArray(160, 'l')}};
    for (const auto &file : files) {
        QFile out(dir + file.first);
        if (out.open(QIODevice::WriteOnly))
            out.write(file.second);
    }
    return dir;
}

// Everything the program takes from the model.
QStringList meaning(const Configuration &c)
{
    QStringList out{c.terminal->name, c.terminal->code,
                    c.getImage(),     QString::number(c.getDelayReboot()),
                    c.getTitle(),     c.getDescription()};
    for (const Batch *batch : c.getBatches()) {
        out << QStringLiteral("batch %1").arg(batch->id);
        for (const Application *file : batch->files)
            out << file->path;
    }
    for (const Configuration::NamedFile &file : c.namedFiles())
        out << file.name + QLatin1Char('=') + (file.hasDigest ? file.digest : QStringLiteral("-"));
    for (const HTerminal *hterm : c.getHTerminals())
        out << QString::fromLatin1(
            QByteArray(reinterpret_cast<const char *>(hterm->record.data()), HTerminal::kRecordSize)
                .toHex());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QString dir = hardwareFiles();
    const QByteArray raw(reinterpret_cast<const char *>(data), int(size));

    // What load() does with the bytes it read, then what checkSignature() does.
    Configuration configuration(dir);
    configuration.readBytes(raw);
    if (!configuration.checkSignature())
        return 0;
    const bool filesAccepted = configuration.checkFiles();

    // Accepted. Nothing but white space and the root's closing tag follows the signature...
    if (signature::unsignedContent(raw).any())
        __builtin_trap();
    // ...so the file means what its part up to the end of the signature element means.
    const int close = raw.lastIndexOf(signature::kCloseMarker);
    const int end = raw.indexOf('>', close) + 1;
    if (close < 0 || end <= 0)
        __builtin_trap();
    Configuration signedPart(dir);
    signedPart.readBytes(raw.left(end));
    if (signedPart.checkFiles() != filesAccepted || meaning(configuration) != meaning(signedPart))
        __builtin_trap();
    return 0;
}
