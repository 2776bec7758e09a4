#include "configuration.h"

#include <QXmlStreamReader>

// The XML reading of configuration.xml, token by token: the value of a leaf element is the text
// of the single token after its opening tag, verbatim, and an element under the wrong parent is
// read over.
namespace {

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

// The children of `parent` up to its closing tag; `store` receives each child's name and value.
template<typename Store>
void readChildren(QXmlStreamReader &xml, const QString &parent, Store store)
{
    while (!ended(xml)) {
        xml.readNext();
        if (xml.isStartElement()) {
            const QString child = xml.name().toString();
            store(child, nextValue(xml));
        } else if (xml.isEndElement() && xml.name() == parent) {
            return;
        }
    }
}

} // namespace

void Configuration::read(QIODevice &device)
{
    QXmlStreamReader xml(&device);
    while (!ended(xml)) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const QStringRef name = xml.name();
        if (name == QLatin1String("terminal")) {
            readChildren(xml, QStringLiteral("terminal"),
                         [this](const QString &child, const QString &value) {
                             if (child == QLatin1String("name"))
                                 terminal->name = value;
                             else if (child == QLatin1String("code"))
                                 terminal->code = value;
                             else if (child == QLatin1String("image"))
                                 terminal->image = configurationDirectory() + value;
                             else if (child == QLatin1String("delayReboot"))
                                 terminal->delayReboot = value.toInt(); // 0 when not a number
                         });
        } else if (name == QLatin1String("operation")) {
            readChildren(xml, QStringLiteral("operation"),
                         [this](const QString &child, const QString &value) {
                             if (child == QLatin1String("title"))
                                 operation->title = value;
                             else if (child == QLatin1String("description"))
                                 operation->description = value;
                         });
        } else if (name == QLatin1String("batch")) {
            auto *batch = new Batch;
            batches.append(batch);
            batch->id = xml.attributes().value(QLatin1String("id")).toInt(); // 0 likewise
            readChildren(xml, QStringLiteral("batch"),
                         [this, batch](const QString &child, const QString &value) {
                             if (child == QLatin1String("file"))
                                 batch->files.append(
                                     new Application(configurationDirectory() + value));
                         });
        } else if (name == QLatin1String("hterm")) {
            readHTerminal(nextValue(xml));
        }
        // "configuration" and every other element: go on with the next token.
    }
    xmlStop = xml.hasError() ? XmlError{xml.lineNumber(), xml.columnNumber(), xml.errorString()}
                             : XmlError();
}
