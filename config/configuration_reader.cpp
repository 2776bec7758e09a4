#include "configuration.h"
#include "xmlinput.h"

#include <QXmlStreamReader>

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

// Reads the token after an opening tag and returns its text (empty for a tag).
QString nextValue(QXmlStreamReader &xml)
{
    xml.readNext();
    return xml.text().toString();
}

// The next token, and where its start tag lies when it is one.
template<typename Element>
void readNext(QXmlStreamReader &xml, Element &element)
{
    const qint64 start = xml.characterOffset();
    xml.readNext();
    if (!xml.isStartElement())
        return;
    element.name = xml.name().toString();
    element.tagStart = int(start);
    element.tagEnd = int(xml.characterOffset());
    element.hasDigest = xml.attributes().hasAttribute(kDigestAttribute);
    element.digest = xml.attributes().value(kDigestAttribute).toString();
}

// The children of `parent` up to its closing tag; `store` receives each child and its value.
template<typename Element, typename Store>
void readChildren(QXmlStreamReader &xml, const QString &parent, Store store)
{
    Element child;
    while (!ended(xml)) {
        readNext(xml, child);
        if (xml.isStartElement()) {
            store(child, nextValue(xml));
        } else if (xml.isEndElement() && xml.name() == parent) {
            return;
        }
    }
}

} // namespace

void Configuration::readBytes(const QByteArray &bytes)
{
    raw = bytes;
    // In text mode, as the program always read the file: carriage returns are dropped.
    const xmlinput::Input input = xmlinput::decode(raw, true);
    QXmlStreamReader xml(input.text);
    Element element;
    while (!ended(xml)) {
        readNext(xml, element);
        if (!xml.isStartElement())
            continue;
        const QString &name = element.name;
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
                                  [this](const Element &child, const QString &value) {
                                      if (child.name == QLatin1String("file"))
                                          addNamedFile(NamedFile::Kind::PackageFile, child, value);
                                  });
        } else if (name == QLatin1String("hterm")) {
            addNamedFile(NamedFile::Kind::HardwareRecord, element, nextValue(xml));
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
    // The signature text comes from the raw bytes, not from the XML reading.
    signature = signature::extractText(raw);
}

void Configuration::addNamedFile(NamedFile::Kind kind, const Element &element, const QString &value)
{
    NamedFile file;
    file.kind = kind;
    file.name = value;
    file.path = configurationDirectory() + value;
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
    files.append(file);
}
