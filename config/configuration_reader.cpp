#include "configuration.h"
#include "xmlinput.h"

#include <QXmlStreamReader>

#include <utility>

// The XML reading of configuration.xml, token by token: the value of a leaf element is the text
// of the single token after its opening tag, verbatim, and an element under the wrong parent is
// read over. The reader is given the text xmlinput prepared, so it takes time in proportion to
// the file.

struct Configuration::Element
{
    QString name;
    bool hasDigest = false;
    QString digest;
    int tagStart = 0; // of the start tag in the text read
    int tagEnd = 0;
};

namespace {

const QLatin1String kDigestAttribute("sha256");

bool ended(const QXmlStreamReader &xml)
{
    return xml.atEnd() || xml.hasError();
}

// A copy of just these characters. QStringRef::toString() gives the reader's whole text buffer
// when the reference spans it: each value kept would hold the buffer's whole capacity (hundreds
// of bytes), and the reader would then allocate a new buffer for its next token.
QString copyOf(const QStringRef &text)
{
    return QString(text.unicode(), text.size());
}

// Reads the token after an opening tag and returns its text (empty for a tag).
QString nextValue(QXmlStreamReader &xml)
{
    xml.readNext();
    return copyOf(xml.text());
}

// The element's name; one the reading looks for is shared rather than allocated anew.
QString nameOf(const QStringRef &name)
{
    static const QString kKnown[] = {
        QStringLiteral("terminal"),    QStringLiteral("operation"),   QStringLiteral("batch"),
        QStringLiteral("hterm"),       QStringLiteral("name"),        QStringLiteral("code"),
        QStringLiteral("image"),       QStringLiteral("delayReboot"), QStringLiteral("title"),
        QStringLiteral("description"), QStringLiteral("file"),        QStringLiteral("expect")};
    for (const QString &known : kKnown) {
        if (name == known)
            return known;
    }
    return copyOf(name);
}

// The start tag the reader has just read, which began at `start` in the text; its digest only
// when it may name a file.
template<typename Element>
Element startTag(const QXmlStreamReader &xml, qint64 start)
{
    Element element;
    element.name = nameOf(xml.name());
    element.tagStart = int(start);
    element.tagEnd = int(xml.characterOffset());
    if (element.name == QLatin1String("file") || element.name == QLatin1String("image") ||
        element.name == QLatin1String("hterm")) {
        const QXmlStreamAttributes attributes = xml.attributes();
        element.hasDigest = attributes.hasAttribute(kDigestAttribute);
        element.digest = copyOf(attributes.value(kDigestAttribute));
    }
    return element;
}

// The children of `parent` up to its closing tag; `store` receives each child and its value.
template<typename Element, typename Store>
void readChildren(QXmlStreamReader &xml, const QString &parent, Store store)
{
    while (!ended(xml)) {
        const qint64 start = xml.characterOffset();
        xml.readNext();
        if (xml.isStartElement()) {
            const Element child = startTag<Element>(xml, start);
            store(child, nextValue(xml));
        } else if (xml.isEndElement() && xml.name() == parent) {
            return;
        }
    }
}

} // namespace

void Configuration::parse()
{
    directoryText = configurationDirectory();
    // In text mode, as the program always read the file: carriage returns are dropped.
    const xmlinput::Input input = xmlinput::decode(raw, true);
    const std::unique_ptr<QXmlStreamReader> reader = input.reader();
    QXmlStreamReader &xml = *reader;
    while (!ended(xml)) {
        const qint64 start = xml.characterOffset();
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const QStringRef name = xml.name();
        if (name == QLatin1String("terminal")) {
            readChildren<Element>(xml, QStringLiteral("terminal"),
                                  [this](const Element &child, const QString &value) {
                                      if (child.name == QLatin1String("name"))
                                          terminal->name = value;
                                      else if (child.name == QLatin1String("code"))
                                          terminal->code = value;
                                      else if (child.name == QLatin1String("image"))
                                          addNamedFile(NamedFile::Kind::Picture, child, value);
                                      else if (child.name == QLatin1String("delayReboot"))
                                          terminal->delayReboot = value.toInt(); // 0: not a number
                                  });
        } else if (name == QLatin1String("operation")) {
            readChildren<Element>(xml, QStringLiteral("operation"),
                                  [this](const Element &child, const QString &value) {
                                      if (child.name == QLatin1String("title"))
                                          operation->title = value;
                                      else if (child.name == QLatin1String("description"))
                                          operation->description = value;
                                  });
        } else if (name == QLatin1String("batch")) {
            auto *batch = new Batch;
            batches.append(batch);
            batch->id = xml.attributes().value(QLatin1String("id")).toInt(); // 0 likewise
            readChildren<Element>(xml, QStringLiteral("batch"),
                                  [this, batch](const Element &child, const QString &value) {
                                      if (child.name == QLatin1String("file"))
                                          addNamedFile(NamedFile::Kind::PackageFile, child, value);
                                      else if (child.name == QLatin1String("expect"))
                                          batch->expected.append(value);
                                  });
        } else if (name == QLatin1String("hterm")) {
            const Element hterm = startTag<Element>(xml, start);
            addNamedFile(NamedFile::Kind::HardwareRecord, hterm, nextValue(xml));
        }
        // "configuration" and every other element: go on with the next token.
    }
    if (xml.hasError() && xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        xmlStop = {xml.lineNumber(), xml.columnNumber(), xml.errorString()};
    else if (input.stop != xmlinput::Stop::None) // where the text given to the reader stops
        xmlStop = {input.line, input.column, input.stopMessage()};
    else if (xml.hasError())
        xmlStop = {xml.lineNumber(), xml.columnNumber(), xml.errorString()};
    else
        xmlStop = XmlError();
}

void Configuration::addNamedFile(NamedFile::Kind kind, const Element &element, const QString &value)
{
    NamedFile file;
    file.kind = kind;
    file.name = value;
    file.path = directoryText + value;
    file.hasDigest = element.hasDigest;
    file.digest = element.digest;
    file.tagStart = element.tagStart;
    file.tagEnd = element.tagEnd;
    switch (kind) {
    case NamedFile::Kind::Picture:
        // A later image replaces the picture; an empty one means none.
        terminal->image = file.path;
        if (picture >= 0)
            files.removeAt(picture);
        picture = value.isEmpty() ? -1 : files.size();
        if (value.isEmpty())
            return;
        break;
    case NamedFile::Kind::PackageFile:
        file.application = new Application(file.path);
        file.batch = batches.size() - 1;
        batches.last()->files.append(file.application);
        break;
    case NamedFile::Kind::HardwareRecord:
        break;
    }
    files.append(std::move(file));
}
