#include "xmlinput.h"

#include <QRegularExpression>
#include <QTextCodec>

#include <vector>

namespace xmlinput {
namespace {

constexpr int kUtf8Mib = 106;
constexpr int kLatin1Mib = 4;
constexpr int kAsciiMib = 3;

// The codec the reader picks from the first four bytes (qxmlstream.cpp): UTF-32 or UTF-16 by
// their byte-order mark or by the zero bytes around the first '<', else UTF-8.
int mibFromFirstBytes(const QByteArray &bytes)
{
    if (bytes.size() < 4)
        return kUtf8Mib;
    const auto b = [&bytes](int i) { return uchar(bytes[i]); };
    if ((b(0) == 0 && b(1) == 0 && b(2) == 0xFE && b(3) == 0xFF) ||
        (b(0) == 0xFF && b(1) == 0xFE && b(2) == 0 && b(3) == 0))
        return 1017; // UTF-32 with a byte-order mark
    if (b(0) == 0x3C && b(1) == 0 && b(2) == 0 && b(3) == 0)
        return 1019; // UTF-32LE
    if (b(0) == 0 && b(1) == 0 && b(2) == 0 && b(3) == 0x3C)
        return 1018; // UTF-32BE
    if ((b(0) == 0xFE && b(1) == 0xFF) || (b(0) == 0xFF && b(1) == 0xFE))
        return 1015; // UTF-16 with a byte-order mark
    if (b(0) == 0x3C && b(1) == 0)
        return 1014; // UTF-16LE
    if (b(0) == 0 && b(1) == 0x3C)
        return 1013; // UTF-16BE
    return kUtf8Mib;
}

// The codec the XML declaration names, when it names one the system knows; otherwise
// `detected` (the reader then reports the unknown name itself).
QTextCodec *declaredCodec(const QByteArray &bytes, QTextCodec *detected)
{
    constexpr int kDeclarationRoom = 256; // characters; a declaration is shorter
    const QString head = detected->toUnicode(bytes.left(kDeclarationRoom * 4));
    static const QRegularExpression declaration(QStringLiteral(
        "^\\x{FEFF}?<\\?xml[ \\t\\n\\r][^>]*?encoding[ \\t\\n\\r]*=[ \\t\\n\\r]*([\"'])(.*?)\\1"));
    const QRegularExpressionMatch match = declaration.match(head.left(kDeclarationRoom));
    if (!match.hasMatch())
        return detected;
    QTextCodec *named = QTextCodec::codecForName(match.captured(2).toLatin1());
    return named ? named : detected;
}

// How many bytes of `bytes` are UTF-8 from the start, as Qt's decoder judges it: no overlong
// forms, no surrogates, nothing above U+10FFFF (non-characters are text).
int utf8Prefix(const QByteArray &bytes)
{
    const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
    const int n = bytes.size();
    int i = 0;
    while (i < n) {
        const uchar lead = b[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        int more = 0;
        uint code = 0;
        uint least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1, code = lead & 0x1Fu, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2, code = lead & 0x0Fu, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3, code = lead & 0x07u, least = 0x10000;
        } else {
            return i;
        }
        if (n - i - 1 < more)
            return i;
        for (int k = 1; k <= more; ++k) {
            if ((b[i + k] & 0xC0) != 0x80)
                return i;
            code = (code << 6) | (b[i + k] & 0x3Fu);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return i;
        i += more + 1;
    }
    return n;
}

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

// A start tag, as far as the look over the markup needs it.
struct Tag
{
    int attributes = 0;
    int namespaces = 0; // xmlns and xmlns:* attributes
    bool empty = false; // "/>"
};

// Reads the start tag at `open` ('<' then a name); returns the offset after it, or -1 where it
// is not a well-formed tag (the reader stops there too). Stops counting past kMaxAttributes.
int readTag(const QString &text, int open, Tag &tag)
{
    const QChar *d = text.constData();
    const int n = text.size();
    const auto nameChar = [](QChar c) {
        return !isSpace(c) && c != QLatin1Char('>') && c != QLatin1Char('/') &&
               c != QLatin1Char('<') && c != QLatin1Char('=') && c != QLatin1Char('"') &&
               c != QLatin1Char('\'');
    };
    int i = open + 1;
    const int nameStart = i;
    while (i < n && nameChar(d[i]))
        ++i;
    if (i == nameStart)
        return -1;
    for (;;) {
        while (i < n && isSpace(d[i]))
            ++i;
        if (i >= n)
            return -1;
        if (d[i] == QLatin1Char('>'))
            return i + 1;
        if (d[i] == QLatin1Char('/')) {
            tag.empty = true;
            return i + 1 < n && d[i + 1] == QLatin1Char('>') ? i + 2 : -1;
        }
        const int attributeStart = i;
        while (i < n && nameChar(d[i]))
            ++i;
        const QStringRef name = text.midRef(attributeStart, i - attributeStart);
        while (i < n && isSpace(d[i]))
            ++i;
        if (name.isEmpty() || i >= n || d[i] != QLatin1Char('='))
            return -1;
        ++i;
        while (i < n && isSpace(d[i]))
            ++i;
        if (i >= n || (d[i] != QLatin1Char('"') && d[i] != QLatin1Char('\'')))
            return -1;
        const int close = text.indexOf(d[i], i + 1);
        if (close < 0)
            return -1;
        ++tag.attributes;
        if (name == QLatin1String("xmlns") || name.startsWith(QLatin1String("xmlns:")))
            ++tag.namespaces;
        if (tag.attributes > kMaxAttributes)
            return close + 1;
        i = close + 1;
    }
}

// Where the text must stop for the reader, and why; the end of the text when it need not. The
// look follows the markup as the reader does (comments, CDATA sections and processing
// instructions end at their first end marker, quoted values at their quote), and gives up where
// the reader reports an error anyway: the reader never parses beyond that point.
int lookOver(const QString &text, Stop &stop)
{
    const int n = text.size();
    const auto at = [&text](int i, const char *what) {
        return text.midRef(i, int(qstrlen(what))) == QLatin1String(what);
    };
    const auto after = [&text](int from, const char *end) {
        const int found = text.indexOf(QLatin1String(end), from);
        return found < 0 ? -1 : found + int(qstrlen(end));
    };
    std::vector<int> scopes; // namespace declarations of each open element
    int namespaces = 0;
    int next = 0;
    while (next >= 0 && next < n) {
        const int open = text.indexOf(QLatin1Char('<'), next);
        if (open < 0)
            break;
        if (at(open, "<!--")) {
            next = after(open + 4, "-->");
        } else if (at(open, "<![CDATA[")) {
            next = after(open + 9, "]]>");
        } else if (at(open, "<?")) {
            next = after(open + 2, "?>");
        } else if (at(open, "<!DOCTYPE")) {
            stop = Stop::DocumentType;
            return open;
        } else if (at(open, "<!")) {
            break; // not XML: the reader stops here
        } else if (at(open, "</")) {
            next = after(open + 2, ">");
            if (!scopes.empty()) {
                namespaces -= scopes.back();
                scopes.pop_back();
            }
        } else {
            Tag tag;
            next = readTag(text, open, tag);
            const bool opens = next >= 0 && !tag.empty;
            if (tag.attributes > kMaxAttributes)
                stop = Stop::TooManyAttributes;
            else if (opens && int(scopes.size()) >= kMaxDepth)
                stop = Stop::TooDeep;
            else if (namespaces + tag.namespaces > kMaxNamespaces)
                stop = Stop::TooManyNamespaces;
            if (stop != Stop::None)
                return open;
            if (opens) {
                scopes.push_back(tag.namespaces);
                namespaces += tag.namespaces;
            }
        }
    }
    return n;
}

} // namespace

Input decode(const QByteArray &raw, bool textMode)
{
    Input input;
    input.bytes = raw;
    input.textMode = textMode;
    QByteArray bytes = raw;
    if (textMode)
        bytes.replace('\r', QByteArray());

    QTextCodec *detected = QTextCodec::codecForMib(mibFromFirstBytes(bytes));
    QTextCodec *codec = declaredCodec(bytes, detected);
    int cut = -1; // in the decoded text, where undecodable bytes begin
    if (codec->mibEnum() == kUtf8Mib) {
        const int valid = utf8Prefix(bytes);
        input.text = QString::fromUtf8(bytes.constData(), valid); // drops a byte-order mark
        cut = valid < bytes.size() ? input.text.size() : -1;
        input.width = Input::Width::Utf8;
        input.headerBytes = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    } else {
        QTextCodec::ConverterState state;
        input.text = codec->toUnicode(bytes.constData(), bytes.size(), &state);
        if (input.text.startsWith(QChar(0xFEFF)))
            input.text.remove(0, 1);
        // The position of the bad bytes is not reported: the first replacement character.
        if (state.invalidChars > 0)
            cut = qMax(0, input.text.indexOf(QChar(QChar::ReplacementCharacter)));
        const int mib = codec->mibEnum();
        if (mib == kLatin1Mib || mib == kAsciiMib)
            input.width = Input::Width::OneByte;
    }
    if (cut >= 0) {
        input.text.truncate(cut);
        input.stop = Stop::BadEncoding;
    }

    Stop markup = Stop::None;
    const int end = lookOver(input.text, markup);
    if (markup != Stop::None) {
        input.text.truncate(end);
        input.stop = markup;
    }
    if (input.stop != Stop::None) {
        const int lineStart = input.text.lastIndexOf(QLatin1Char('\n')) + 1;
        input.line = input.text.count(QLatin1Char('\n')) + 1;
        input.column = input.text.size() - lineStart;
    }
    return input;
}

QString Input::stopMessage() const
{
    switch (stop) {
    case Stop::None:
        break;
    case Stop::BadEncoding:
        return QStringLiteral("Encountered incorrectly encoded content.");
    case Stop::DocumentType:
        return QStringLiteral("A document type declaration is not accepted.");
    case Stop::TooManyAttributes:
        return QStringLiteral("An element has more than %1 attributes.").arg(kMaxAttributes);
    case Stop::TooDeep:
        return QStringLiteral("More than %1 elements are open at once.").arg(kMaxDepth);
    case Stop::TooManyNamespaces:
        return QStringLiteral("More than %1 namespace declarations are in scope.")
            .arg(kMaxNamespaces);
    }
    return QString();
}

bool Input::rawOffsets(const QVector<int> &offsets, QVector<int> &raw) const
{
    if (width == Width::Unmapped)
        return false;
    raw.clear();
    const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
    const int n = bytes.size();
    int units = 0; // characters of the text before byte r
    int r = width == Width::Utf8 ? headerBytes : 0;
    for (const int wanted : offsets) {
        for (; r < n; ++r) {
            if (textMode && b[r] == '\r')
                continue;
            const bool starts = width == Width::OneByte || (b[r] & 0xC0) != 0x80;
            if (starts && units == wanted)
                break;
            if (starts)
                units += width == Width::Utf8 && b[r] >= 0xF0 ? 2 : 1;
        }
        raw << r;
    }
    return true;
}

} // namespace xmlinput
