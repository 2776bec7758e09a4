#include "pack.h"

#include "config/signature.h"
#include "config/xmlinput.h"

#include <QXmlStreamReader>

#include <algorithm>

namespace pack {
namespace {

using wording::Language;

// The name of the root element: the first element of the text the reader reads.
QString rootOf(const QByteArray &xml)
{
    const std::unique_ptr<QXmlStreamReader> reader = xmlinput::decode(xml, false).reader();
    while (!reader->atEnd() && !reader->hasError()) {
        reader->readNext();
        if (reader->isStartElement())
            return reader->name().toString();
    }
    return QString();
}

// Whether the last child element of the root is a signature element holding `text`.
bool signatureIsLastElement(const QByteArray &xml, const QString &text)
{
    const std::unique_ptr<QXmlStreamReader> input = xmlinput::decode(xml, false).reader();
    QXmlStreamReader &reader = *input;
    int depth = 0;
    QString last;
    QString lastText;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            if (++depth == 2) {
                last = reader.name().toString();
                lastText =
                    last == QLatin1String("signature") ? reader.readElementText() : QString();
                if (reader.isEndElement())
                    --depth;
            }
        } else if (reader.isEndElement()) {
            --depth;
        }
    }
    return !reader.hasError() && last == QLatin1String("signature") && lastText == text;
}

// One change of the text: `length` characters at `at` replaced by `with`.
struct Edit
{
    int at;
    int length;
    QByteArray with;
};

// Where the digest goes in the start tag text[start, end): over the value of its sha256
// attribute, or as a new attribute before the tag's ">" or "/>". The reader has read the tag, so
// it is well-formed.
Edit digestEdit(const QString &text, int start, int end, const QByteArray &digest)
{
    const auto space = [&text](int i) {
        const QChar c = text[i];
        return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
               c == QLatin1Char('\r');
    };
    const auto nameEnd = [&](int i) {
        while (i < end && !space(i) && text[i] != QLatin1Char('=') && text[i] != QLatin1Char('>') &&
               text[i] != QLatin1Char('/'))
            ++i;
        return i;
    };
    int i = nameEnd(start + 1); // after "<" and the element's name
    for (;;) {
        while (i < end && space(i))
            ++i;
        if (text[i] == QLatin1Char('>') || text[i] == QLatin1Char('/'))
            return {i, 0, " sha256=\"" + digest + '"'};
        const int name = i;
        i = nameEnd(i);
        const bool ours = text.midRef(name, i - name) == QLatin1String("sha256");
        while (text[i] != QLatin1Char('"') && text[i] != QLatin1Char('\''))
            ++i; // over "=" and white space
        const int close = text.indexOf(text[i], i + 1);
        if (ours)
            return {i + 1, close - i - 1, digest};
        i = close + 1;
    }
}

// The digest of every file the configuration names, written on its element, in the raw bytes.
bool writeDigests(const QByteArray &xml, const QString &directory, QByteArray &withDigests,
                  QString &error)
{
    Configuration configuration(directory);
    configuration.readBytes(xml);
    const Configuration::XmlError &xmlError = configuration.xmlError();
    if (!xmlError.message.isEmpty()) {
        error = QStringLiteral("not well-formed XML (line %1, column %2: %3)")
                    .arg(xmlError.line)
                    .arg(xmlError.column)
                    .arg(xmlError.message);
        return false;
    }
    (void)configuration.checkFiles(); // reads each file once and takes its digest
    const xmlinput::Input input = xmlinput::decode(xml, true);
    const QString text = input.text();
    QList<Edit> edits;
    for (const Configuration::NamedFile &file : configuration.namedFiles()) {
        if (!file.read) {
            error = QStringLiteral("cannot read the file %1 that configuration.xml names: it %2")
                        .arg(file.path, regularfile::describe(file.failure, Language::English));
            return false;
        }
        edits << digestEdit(text, file.tagStart, file.tagEnd, file.found.toLatin1());
    }
    std::sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) { return a.at < b.at; });
    QVector<int> offsets;
    for (const Edit &edit : edits)
        offsets << edit.at << edit.at + edit.length;
    QVector<int> raw;
    if (!input.rawOffsets(offsets, raw)) {
        error = QStringLiteral("the digests can be written into a configuration in UTF-8, US-ASCII "
                               "or ISO-8859-1 only");
        return false;
    }
    withDigests = xml;
    for (int i = edits.size() - 1; i >= 0; --i)
        withDigests.replace(raw[2 * i], raw[2 * i + 1] - raw[2 * i], edits[i].with);
    return true;
}

} // namespace

bool signatureText(const QByteArray &region, const RsaPrivateKey &key, QString &text)
{
    const QByteArray block = signature::block(region);
    QByteArray value(signature::kValueSize, '\0');
    RsaParameters parameters{reinterpret_cast<const quint8 *>(block.constData()),
                             quint32(block.size()), reinterpret_cast<quint8 *>(value.data()), 0};
    quint32 status = rsaInit(2);
    if (status == kRsaOk)
        status = rsaDispatch(kRsaTypeRaw, kRsaModePrivate, &parameters, &key);
    rsaFinal();
    if (status != kRsaOk || parameters.outputLength != quint32(signature::kValueSize))
        return false;
    text = signature::encodeText(value);
    return true;
}

bool sign(const QByteArray &original, const QString &directory, const RsaPrivateKey &key,
          QByteArray &signedXml, QString &error)
{
    QByteArray xml;
    if (!writeDigests(original, directory, xml, error))
        return false;
    const QString root = rootOf(xml);
    if (root.isEmpty()) {
        error = QStringLiteral("no root element");
        return false;
    }

    // Where the signature element goes: over the last one, or before the root's closing tag.
    QByteArray before;
    QByteArray after;
    const int open = xml.lastIndexOf(signature::kOpenMarker);
    if (open >= 0) {
        const int close = xml.indexOf(signature::kCloseMarker, open);
        if (close < 0) {
            error = QStringLiteral("the last \"<signature>\" has no \"</signature>\" after it");
            return false;
        }
        before = xml.left(open);
        after = xml.mid(close);
    } else {
        const int close = xml.lastIndexOf("</" + root.toUtf8());
        if (close < 0) {
            error =
                QStringLiteral("the root element %1 has no closing tag to sign before").arg(root);
            return false;
        }
        const QByteArray lineEnd = xml.contains("\r\n") ? "\r\n" : "\n";
        before = xml.left(close);
        after = signature::kCloseMarker + '>' + lineEnd + xml.mid(close);
    }

    QString text;
    if (!signatureText(before, key, text)) {
        error = QStringLiteral("the RSA private-key operation failed");
        return false;
    }
    QByteArray result = before + signature::kOpenMarker + text.toLatin1() + after;

    // Check the outcome the way the program will: the byte search must find this text, the
    // public key must accept it and nothing unsigned may follow the element; the XML must keep
    // the signature as its last element; and the files must be the ones signed.
    signature::UnsignedContent unsignedPart;
    const signature::Verdict verdict =
        signature::check(result, signature::extractText(result), key.publicKey, &unsignedPart);
    if (verdict == signature::Verdict::UnsignedContent) {
        error = QStringLiteral("the program would refuse the signed file: %1; remove it before "
                               "signing")
                    .arg(signature::describe(verdict, Language::English, unsignedPart));
        return false;
    }
    if (verdict != signature::Verdict::Valid) {
        error = QStringLiteral("the signed file would not pass the check: %1 (a \"</signature\" "
                               "after the signature element?)")
                    .arg(signature::describe(verdict, Language::English));
        return false;
    }
    if (!signatureIsLastElement(result, text)) {
        error = QStringLiteral("the last \"<signature>\" of the file is not the last element of "
                               "the root (is it inside a comment?)");
        return false;
    }
    Configuration check(directory);
    check.readBytes(result);
    if (!check.checkFiles()) {
        error = QStringLiteral("the program would refuse the package: %1")
                    .arg(check.problemTexts(Language::English).join(QStringLiteral("; ")));
        return false;
    }
    signedXml = result;
    return true;
}

} // namespace pack
