#include "printable.h"

namespace printable {

namespace {

bool isControl(char16_t u)
{
    return u < 0x20 || (u >= 0x7f && u < 0xa0);
}

// Shown as itself: not a control character, not an invisible one that moves or hides text
// (the first such character is U+00AD, the soft hyphen).
bool isShown(char16_t u)
{
    if (u < 0xad)
        return !isControl(u);
    if (u == 0x2028 || u == 0x2029 || QChar::isSurrogate(u))
        return false;
    return QChar::category(char32_t(u)) != QChar::Other_Format;
}

QString escaped(const QString &value, bool keepLineBreaks)
{
    // Most texts have nothing to escape: they are returned as they are.
    bool plain = true;
    for (qsizetype i = 0; i < value.size() && plain; ++i) {
        const char16_t u = value.at(i).unicode();
        plain = (keepLineBreaks && u == u'\n') || isShown(u);
    }
    if (plain)
        return value;
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char16_t u = value.at(i).unicode();
        if (keepLineBreaks && u == u'\n') {
            out += QLatin1Char('\n');
        } else if (isControl(u)) {
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        } else if (QChar::isHighSurrogate(u) && i + 1 < value.size() &&
                   QChar::isLowSurrogate(value.at(i + 1).unicode())) {
            const char32_t code = QChar::surrogateToUcs4(u, value.at(i + 1).unicode());
            if (QChar::category(code) == QChar::Other_Format)
                out += QStringLiteral("\\u{%1}").arg(uint(code), 4, 16, QLatin1Char('0'));
            else
                out += value.mid(i, 2);
            ++i;
        } else if (QChar::isSurrogate(u) || !isShown(u)) {
            out += QStringLiteral("\\u{%1}").arg(uint(u), 4, 16, QLatin1Char('0'));
        } else {
            out += QChar(u);
        }
    }
    return out;
}

} // namespace

QString text(const QString &value)
{
    return escaped(value, false);
}

QString lines(const QString &value)
{
    return escaped(value, true);
}

} // namespace printable
