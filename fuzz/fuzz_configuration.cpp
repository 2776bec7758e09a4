// The configuration reader on arbitrary bytes: the XML reading with its hterm files, the
// signature extraction and the signature check.

#include "config/configuration.h"
#include "config/signature.h"

#include <QBuffer>
#include <QDir>
#include <QFile>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QString dir = hardwareFiles();
    const QByteArray raw(reinterpret_cast<const char *>(data), int(size));

    // What load() does after opening the file: the XML in text mode, the signature text from
    // the raw bytes; then what checkSignature() does.
    Configuration configuration(dir);
    QBuffer buffer;
    buffer.setData(raw);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    configuration.read(buffer);
    configuration.signature = signature::extractText(raw);
    RsaPublicKey key;
    signature::builtInKey(key);
    (void)signature::check(raw, configuration.signature, key);
    return 0;
}
