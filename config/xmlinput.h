#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

class QXmlStreamReader;

// An XML document of a package (configuration.xml) as the XML reader is given it. Preparing it
// takes time in proportion to its size, and so does the reader on what it is given.
//
// QXmlStreamReader spends time that grows with the square of the attributes of one element
// (each new one is compared with those before it), of the namespace declarations in scope
// (looked through for every prefixed name) and of a document type's attribute lists (looked
// through for every element): 20,000 attributes on one element took it seconds, and the size
// limit of configuration.xml allows a hundred times more. So the markup is looked over once
// first, and the text the reader gets stops before the first element that carries more than a
// configuration ever needs, and before a document type declaration (whose entities could build
// such elements where no look over the text would see them). The reader then reports where
// and why it stopped as it reports a malformed document.
namespace xmlinput {

constexpr int kMaxAttributes = 16; // on one element, namespace declarations included
constexpr int kMaxDepth = 32;      // elements open at once
constexpr int kMaxNamespaces = 16; // namespace declarations in scope at once

// Why the text stops short of the end of the document.
enum class Stop
{
    None,
    BadEncoding,       // bytes that are not text in the document's encoding
    DocumentType,      // a document type declaration
    TooManyAttributes, // an element with more than kMaxAttributes
    TooDeep,           // more than kMaxDepth elements open at once
    TooManyNamespaces, // more than kMaxNamespaces namespace declarations in scope
};

struct Input
{
    Stop stop = Stop::None;
    // Where the text stops short, as the reader counts: the line (from 1) and the characters
    // before it on that line.
    qint64 line = 0;
    qint64 column = 0;

    // Why the text stops short, in English, as the reader's own messages are.
    QString stopMessage() const;
    // A reader on the document, cut before `stop`.
    std::unique_ptr<QXmlStreamReader> reader() const;
    // What it reads, as characters.
    QString text() const;

    // The offsets in the raw bytes of the characters at `offsets` of `text` (ascending), for a
    // document in UTF-8, US-ASCII or ISO-8859-1; false for any other encoding.
    [[nodiscard]] bool rawOffsets(const QVector<int> &offsets, QVector<int> &raw) const;

    QByteArray utf8; // the document for the reader, when it is in UTF-8
    QString decoded; // otherwise

    // What rawOffsets() needs.
    QByteArray bytes;
    bool textMode = false;
    int headerBytes = 0; // a UTF-8 byte-order mark
    enum class Width
    {
        Unmapped,
        Utf8,
        OneByte,
    } width = Width::Unmapped;
};

// The document in the encoding the reader picks: from a byte-order mark or the first bytes
// (UTF-16, UTF-32), else UTF-8, unless the XML declaration names another. A document in UTF-8 is
// given to the reader as bytes, any other decoded once. With `textMode` every carriage return
// is dropped first, as a device opened in text mode reads it.
Input decode(const QByteArray &raw, bool textMode);

} // namespace xmlinput
