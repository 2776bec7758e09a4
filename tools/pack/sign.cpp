#include "pack.h"

#include "config/signature.h"

#include <QXmlStreamReader>

namespace pack {
namespace {

// The name of the root element, when the document is well-formed XML.
bool rootOf(const QByteArray &xml, QString &root, QString &error)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && root.isEmpty())
            root = reader.name().toString();
    }
    if (reader.hasError()) {
        error = QStringLiteral("not well-formed XML (line %1, column %2: %3)")
                    .arg(reader.lineNumber())
                    .arg(reader.columnNumber())
                    .arg(reader.errorString());
        return false;
    }
    return true;
}

// Whether the last child element of the root is a signature element holding `text`.
bool signatureIsLastElement(const QByteArray &xml, const QString &text)
{
    QXmlStreamReader reader(xml);
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

// The private-key operation of the library on the block of `region`.
bool signRegion(const QByteArray &region, const RsaPrivateKey &key, QString &text)
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

} // namespace

bool sign(const QByteArray &xml, const RsaPrivateKey &key, QByteArray &signedXml, QString &error)
{
    QString root;
    if (!rootOf(xml, root, error))
        return false;
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
    if (!signRegion(before, key, text)) {
        error = QStringLiteral("the RSA private-key operation failed");
        return false;
    }
    QByteArray result = before + signature::kOpenMarker + text.toLatin1() + after;

    // Check the outcome the way the program will: the byte search must find this text, the
    // public key must accept it and nothing unsigned may follow the element; and the XML must
    // keep the signature as its last element.
    signature::UnsignedContent unsignedPart;
    const signature::Verdict verdict =
        signature::check(result, signature::extractText(result), key.publicKey, &unsignedPart);
    if (verdict == signature::Verdict::UnsignedContent) {
        error = QStringLiteral("the program would refuse the signed file: %1; remove it before "
                               "signing")
                    .arg(signature::describe(verdict, unsignedPart));
        return false;
    }
    if (verdict != signature::Verdict::Valid) {
        error = QStringLiteral("the signed file would not pass the check: %1 (a \"</signature\" "
                               "after the signature element?)")
                    .arg(signature::describe(verdict));
        return false;
    }
    if (!signatureIsLastElement(result, text)) {
        error = QStringLiteral("the last \"<signature>\" of the file is not the last element of "
                               "the root (is it inside a comment?)");
        return false;
    }
    signedXml = result;
    return true;
}

} // namespace pack
