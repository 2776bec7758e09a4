#include "signature.h"

#include "crypto/keys.h"
#include "xmlinput.h"

#include <QCryptographicHash>
#include <QXmlStreamReader>

#include <cstring>
#include <iterator>
#include <utility>

namespace signature {

const QByteArray kOpenMarker = QByteArrayLiteral("<signature>");
const QByteArray kCloseMarker = QByteArrayLiteral("</signature");

QByteArray signedRegion(const QByteArray &file)
{
    const int start = file.lastIndexOf(kOpenMarker);
    return start < 0 ? QByteArray() : file.left(start);
}

QString extractText(const QByteArray &file)
{
    const int start = file.lastIndexOf(kOpenMarker);
    const int end = file.lastIndexOf(kCloseMarker);
    const int textStart = start + kOpenMarker.size();
    if (start < 0 || end < textStart)
        return QString();
    QByteArray text = file.mid(textStart, end - textStart);
    const int zero = text.indexOf('\0');
    if (zero >= 0)
        text.truncate(zero);
    return QString::fromLatin1(text);
}

namespace {

bool isXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int skipSpace(const QByteArray &file, int at)
{
    while (at < file.size() && isXmlSpace(file[at]))
        ++at;
    return at;
}

// The qualified name of the first element of `region`; empty when it has none. The reader holds
// back a start tag that ends its input ("<c>" alone gives nothing), so one space follows it.
QByteArray firstElement(const QByteArray &region)
{
    const std::unique_ptr<QXmlStreamReader> reader = xmlinput::decode(region + ' ', false).reader();
    while (!reader->atEnd()) {
        reader->readNext();
        if (reader->isStartElement())
            return reader->qualifiedName().toUtf8();
    }
    return QByteArray();
}

} // namespace

QString UnsignedContent::excerpt() const
{
    constexpr int kShown = 60;
    const QString text = QString::fromUtf8(found.left(kShown));
    QString shown;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n'))
            shown += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            shown += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            shown += QLatin1String("\\t");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    if (found.size() > kShown)
        shown += QChar(0x2026); // ellipsis
    return shown;
}

UnsignedContent unsignedContent(const QByteArray &file)
{
    UnsignedContent result;
    const int close = file.lastIndexOf(kCloseMarker);
    if (close < 0)
        return result;
    // The root: the first element of the signed region, or the signature element itself.
    const int open = file.lastIndexOf(kOpenMarker);
    result.root = open < 0 ? QByteArray() : firstElement(file.left(open));
    const bool signatureIsRoot = result.root.isEmpty();
    if (signatureIsRoot)
        result.root = QByteArrayLiteral("signature");

    // "</signature" S? ">", then S? "</" root S? ">" S? and the end of the file.
    int at = skipSpace(file, close + kCloseMarker.size());
    const auto expect = [&file, &at](const QByteArray &what) {
        if (file.mid(at, what.size()) != what)
            return false;
        at += what.size();
        return true;
    };
    bool clean = expect(QByteArrayLiteral(">"));
    if (clean && !signatureIsRoot) {
        at = skipSpace(file, at);
        clean = expect("</" + result.root);
        at = clean ? skipSpace(file, at) : at;
        clean = clean && expect(QByteArrayLiteral(">"));
    }
    at = clean ? skipSpace(file, at) : at;
    if (clean && at == file.size())
        return result;
    result.offset = at;
    result.found = file.mid(at);
    return result;
}

QByteArray block(const QByteArray &region)
{
    const QByteArray digest = QCryptographicHash::hash(region, QCryptographicHash::Sha256);
    // 0x00 0x01, 221 bytes 0xFF, 0x00, then the 32-byte digest.
    QByteArray out(kValueSize, char(0xFF));
    out[0] = 0x00;
    out[1] = 0x01;
    out[kValueSize - digest.size() - 1] = 0x00;
    out.replace(kValueSize - digest.size(), digest.size(), digest);
    return out;
}

bool decodeText(const QString &text, QByteArray &value)
{
    if (text.size() != kTextSize)
        return false;
    const QByteArray ascii = text.toLatin1();
    const auto decoded =
        QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
    // Encoding again must give the same text: no other padding bits, no other characters.
    if (!decoded || (*decoded).size() != kValueSize || (*decoded).toBase64() != ascii)
        return false;
    value = *decoded;
    return true;
}

QString encodeText(const QByteArray &value)
{
    return QString::fromLatin1(value.toBase64());
}

void builtInKey(RsaPublicKey &key)
{
    std::memset(&key, 0, sizeof key);
    key.bits = kRsaMaxBits;
    std::memcpy(key.modulus, keys::kSigningModulus.data(), keys::kSigningModulus.size());
    key.exponent[kRsaMaxLength - 3] = quint8(keys::kSigningExponent >> 16);
    key.exponent[kRsaMaxLength - 2] = quint8(keys::kSigningExponent >> 8);
    key.exponent[kRsaMaxLength - 1] = quint8(keys::kSigningExponent);
}

Verdict check(const QByteArray &file, const QString &text, const RsaPublicKey &key,
              UnsignedContent *found)
{
    if (text.isEmpty())
        return Verdict::NoText;
    QByteArray value;
    if (!decodeText(text, value))
        return Verdict::NotCanonical;
    UnsignedContent after = unsignedContent(file);
    if (after.any()) {
        if (found)
            *found = std::move(after);
        return Verdict::UnsignedContent;
    }

    // Raise the value to e modulo n: the block signed with the private key comes back.
    QByteArray recovered(kValueSize, '\0');
    RsaParameters parameters{reinterpret_cast<const quint8 *>(value.constData()), kValueSize,
                             reinterpret_cast<quint8 *>(recovered.data()), 0};
    quint32 status = rsaInit(2);
    if (status == kRsaOk)
        status = rsaDispatch(kRsaTypeRaw, kRsaModePublic, &parameters, &key);
    rsaFinal();
    if (status == kRsaDataError)
        return Verdict::NotBelowModulus;
    if (status != kRsaOk || parameters.outputLength != quint32(kValueSize))
        return Verdict::Mismatch;
    return recovered == block(signedRegion(file)) ? Verdict::Valid : Verdict::Mismatch;
}

namespace {

using wording::Language;
using wording::Text;

// Indexed by Verdict; {offset}, {found} and {root} stand for what follows the element.
constexpr Text kVerdicts[] = {
    {"the signature is valid", "la signature est valide"},
    {"no signature text between \"<signature>\" and \"</signature>\"",
     "aucun texte de signature entre « <signature> » et « </signature> »"},
    {"the signature text is not 344 characters of canonical Base64",
     "le texte de la signature n'est pas fait de 344 caractères Base64 canoniques"},
    {"unsigned content after the signature element, at byte offset {offset}: \"{found}\" (only "
     "white space and the root's closing tag \"</{root}>\" may follow the signature)",
     "contenu non signé après la signature, à la position {offset} : « {found} » (seuls des "
     "blancs et la balise de fermeture « </{root}> » peuvent suivre la signature)"},
    {"the signature value is not below the key's modulus",
     "la valeur de la signature n'est pas inférieure au module de la clé"},
    {"the signature does not match: the file changed after signing, or it was signed with "
     "another key",
     "la signature ne correspond pas au fichier : il a été modifié après sa signature, ou signé "
     "avec une autre clé"},
};
static_assert(std::size(kVerdicts) == size_t(Verdict::Mismatch) + 1, "one text per verdict");

// UnsignedContent when nothing follows the signature element, not even its closing tags.
constexpr Text kCutShort = {
    "the file ends before the closing tags \"</signature>\" and \"</{root}>\" are complete",
    "le fichier s'arrête avant la fin des balises de fermeture « </signature> » et « </{root}> »"};

} // namespace

QString describe(Verdict verdict, Language language, const UnsignedContent &found)
{
    const bool cutShort = verdict == Verdict::UnsignedContent && found.found.isEmpty();
    return (cutShort ? kCutShort : kVerdicts[int(verdict)])
        .in(language)
        .replace(QLatin1String("{offset}"), QString::number(found.offset))
        .replace(QLatin1String("{root}"), QString::fromUtf8(found.root))
        .replace(QLatin1String("{found}"), found.excerpt());
}

} // namespace signature
