#include "xmlinput.h"

#include <QRegularExpression>
#include <QTextCodec>
#include <QXmlStreamReader>

#include <algorithm>
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

// The document as characters, one byte each for UTF-8 (the markup is ASCII, and no byte of a
// longer UTF-8 sequence is) or one QChar each otherwise.
template<typename Char>
struct View
{
    const Char *d;
    int n;

    static uint code(char c) { return uchar(c); }
    static uint code(QChar c) { return c.unicode(); }
    uint operator[](int i) const { return code(d[i]); }
    bool at(int i, const char *what) const
    {
        for (int k = 0; what[k] != 0; ++k) {
            if (i + k >= n || (*this)[i + k] != uchar(what[k]))
                return false;
        }
        return true;
    }
    int find(int from, uint c) const
    {
        for (int i = from; i < n; ++i) {
            if ((*this)[i] == c)
                return i;
        }
        return -1;
    }
    // The offset just after the first `what` from `from`; -1 when there is none.
    int after(int from, const char *what) const
    {
        for (int i = find(from, uchar(what[0])); i >= 0; i = find(i + 1, uchar(what[0]))) {
            if (at(i, what))
                return i + int(qstrlen(what));
        }
        return -1;
    }
    bool space(int i) const
    {
        const uint c = (*this)[i];
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    }
    bool nameChar(int i) const
    {
        const uint c = (*this)[i];
        return !space(i) && c != '>' && c != '/' && c != '<' && c != '=' && c != '"' && c != '\'';
    }
};

// A start tag, as far as the look over the markup needs it.
struct Tag
{
    int attributes = 0;
    int namespaces = 0; // xmlns and xmlns:* attributes
    bool empty = false; // "/>"
};

// Reads the start tag at `open` ('<' then a name); returns the offset after it, or -1 where it
// is not a well-formed tag (the reader stops there too). Stops counting past kMaxAttributes.
template<typename Char>
int readTag(const View<Char> &text, int open, Tag &tag)
{
    const int n = text.n;
    int i = open + 1;
    const int nameStart = i;
    while (i < n && text.nameChar(i))
        ++i;
    if (i == nameStart)
        return -1;
    for (;;) {
        while (i < n && text.space(i))
            ++i;
        if (i >= n)
            return -1;
        if (text[i] == '>')
            return i + 1;
        if (text[i] == '/') {
            tag.empty = true;
            return i + 1 < n && text[i + 1] == '>' ? i + 2 : -1;
        }
        const int name = i;
        while (i < n && text.nameChar(i))
            ++i;
        const int nameEnd = i;
        while (i < n && text.space(i))
            ++i;
        if (nameEnd == name || i >= n || text[i] != '=')
            return -1;
        ++i;
        while (i < n && text.space(i))
            ++i;
        if (i >= n || (text[i] != '"' && text[i] != '\''))
            return -1;
        const int close = text.find(i + 1, text[i]);
        if (close < 0)
            return -1;
        ++tag.attributes;
        if (text.at(name, "xmlns") && (nameEnd == name + 5 || text[name + 5] == ':'))
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
template<typename Char>
int lookOver(const View<Char> &text, Stop &stop)
{
    std::vector<int> scopes; // namespace declarations of each open element
    int namespaces = 0;
    int next = 0;
    while (next >= 0 && next < text.n) {
        const int open = text.find(next, '<');
        if (open < 0)
            break;
        if (text.at(open, "<!--")) {
            next = text.after(open + 4, "-->");
        } else if (text.at(open, "<![CDATA[")) {
            next = text.after(open + 9, "]]>");
        } else if (text.at(open, "<?")) {
            next = text.after(open + 2, "?>");
        } else if (text.at(open, "<!DOCTYPE")) {
            stop = Stop::DocumentType;
            return open;
        } else if (text.at(open, "<!")) {
            break; // not XML: the reader stops here
        } else if (text.at(open, "</")) {
            next = text.after(open + 2, ">");
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
    return text.n;
}

// Where `end` lies as the reader counts: its line, and the characters before it on the line.
template<typename Char>
void place(const View<Char> &text, int start, int end, Input &input)
{
    int lineStart = start;
    input.line = 1;
    for (int i = start; i < end; ++i) {
        if (text[i] == '\n')
            ++input.line, lineStart = i + 1;
    }
    input.column = 0;
    for (int i = lineStart; i < end; ++i) {
        const uint c = text[i];
        if (sizeof(Char) == 1 && (c & 0xC0) == 0x80)
            continue; // a byte inside a UTF-8 sequence
        input.column += sizeof(Char) == 1 && c >= 0xF0 ? 2 : 1;
    }
}

} // namespace

Input decode(const QByteArray &raw, bool textMode)
{
    Input input;
    input.bytes = raw;
    input.textMode = textMode;
    QByteArray bytes = raw;
    if (textMode && raw.contains('\r')) {
        bytes = QByteArray(raw.size(), Qt::Uninitialized);
        char *end = std::remove_copy(raw.cbegin(), raw.cend(), bytes.begin(), '\r');
        bytes.truncate(int(end - bytes.constData()));
    }

    QTextCodec *detected = QTextCodec::codecForMib(mibFromFirstBytes(bytes));
    QTextCodec *codec = declaredCodec(bytes, detected);
    Stop markup = Stop::None;
    if (detected->mibEnum() == kUtf8Mib && codec == detected) {
        // UTF-8 from the first bytes and by the declaration: the reader decodes the bytes as
        // they are, the markup is looked over on them, and nothing is decoded twice.
        input.width = Input::Width::Utf8;
        input.headerBytes = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
        const int valid = utf8Prefix(bytes);
        const View<char> view{bytes.constData(), valid};
        const int end = lookOver(view, markup);
        input.stop = markup != Stop::None   ? markup
                     : valid < bytes.size() ? Stop::BadEncoding
                                            : Stop::None;
        input.utf8 = bytes.left(end);
        if (input.stop != Stop::None)
            place(view, input.headerBytes, end, input);
        return input;
    }

    QTextCodec::ConverterState state;
    input.decoded = codec->toUnicode(bytes.constData(), bytes.size(), &state);
    if (input.decoded.startsWith(QChar(0xFEFF)))
        input.decoded.remove(0, 1);
    // The position of the bad bytes is not reported: the first replacement character.
    if (state.invalidChars > 0) {
        input.decoded.truncate(qMax(0, input.decoded.indexOf(QChar(QChar::ReplacementCharacter))));
        input.stop = Stop::BadEncoding;
    }
    const int mib = codec->mibEnum();
    if (mib == kLatin1Mib || mib == kAsciiMib)
        input.width = Input::Width::OneByte;
    const View<QChar> view{input.decoded.constData(), input.decoded.size()};
    const int end = lookOver(view, markup);
    if (markup != Stop::None) {
        input.decoded.truncate(end);
        input.stop = markup;
    }
    if (input.stop != Stop::None)
        place(view, 0, input.decoded.size(), input);
    return input;
}

std::unique_ptr<QXmlStreamReader> Input::reader() const
{
    return width == Width::Utf8 ? std::make_unique<QXmlStreamReader>(utf8)
                                : std::make_unique<QXmlStreamReader>(decoded);
}

QString Input::text() const
{
    return width == Width::Utf8 ? QString::fromUtf8(utf8) : decoded;
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
