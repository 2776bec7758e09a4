#include "signature.h"

#include "crypto/keys.h"

#include <QCryptographicHash>

#include <cstring>

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

Verdict check(const QByteArray &file, const QString &text, const RsaPublicKey &key)
{
    if (text.isEmpty())
        return Verdict::NoText;
    QByteArray value;
    if (!decodeText(text, value))
        return Verdict::NotCanonical;

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

QString describe(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Valid:
        return QStringLiteral("the signature is valid");
    case Verdict::NoText:
        return QStringLiteral("no signature text between \"<signature>\" and \"</signature>\"");
    case Verdict::NotCanonical:
        return QStringLiteral("the signature text is not 344 characters of canonical Base64");
    case Verdict::NotBelowModulus:
        return QStringLiteral("the signature value is not below the key's modulus");
    case Verdict::Mismatch:
        return QStringLiteral("the signature does not match: the file changed after signing, "
                              "or it was signed with another key");
    }
    return QString();
}

} // namespace signature
