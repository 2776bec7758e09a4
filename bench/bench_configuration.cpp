// Reading configuration.xml at its size limit (16 MiB), benign and hostile, against
// QXmlStreamReader reading a benign document of the same size in the same run: the XML reading
// (Configuration::readBytes); what verify does, load() and the signature check from the disk;
// and what the program does, Configuration::loadChecked(), which reads the XML only once the
// signature is valid (none of these files is signed). Goal: every case under a second of CPU,
// in proportion to the size. For scale, QXmlStreamReader alone on one element with 20,000
// attributes.
#include "benchutil.h"
#include "config/configuration.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <cstdio>
#include <functional>

namespace {

constexpr int kLimit = int(Configuration::kMaxFileSize);

// `head`, then `unit` (numbered with %1 when it holds it) as often as fits, then `tail`.
QByteArray fill(const QByteArray &head, const QByteArray &unit, const QByteArray &tail)
{
    QByteArray out = head;
    out.reserve(kLimit);
    const bool numbered = unit.contains("%1");
    for (int i = 0; out.size() + unit.size() + 8 + tail.size() < kLimit; ++i)
        out += numbered ? QByteArray(unit).replace("%1", QByteArray::number(i)) : unit;
    return out + tail;
}

// The CPU time of `work` on this thread: on a machine shared with other work, nearer to what
// it costs than the wall time, which is printed beside it.
struct Time
{
    double cpu = 0;
    double wall = 0;
};

Time timeOf(const std::function<void()> &work)
{
    const double wall = bench::wallSeconds();
    const double cpu = bench::threadCpuSeconds();
    work();
    return {bench::threadCpuSeconds() - cpu, bench::wallSeconds() - wall};
}

Time plainReader(const QByteArray &xml)
{
    return timeOf([&xml] {
        QXmlStreamReader reader(xml);
        while (!reader.atEnd())
            reader.readNext();
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("vardel.configuration.info=false"));
    QTemporaryDir dir;
    const QString path = dir.path() + QLatin1Char('/');
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const QByteArray benign =
        fill(head + "<configuration>",
             "<batch id=\"%1\"><file sha256=\"0\">f%1.bin</file></batch>\n", "</configuration>\n");
    const Time reference = plainReader(benign);
    std::printf("configuration.xml of %d bytes (the limit); reference: QXmlStreamReader alone on "
                "a benign document, %.3f s CPU (%.3f s wall)\n",
                int(benign.size()), reference.cpu, reference.wall);

    QByteArray deep;
    for (int i = 0; i < 4; ++i)
        deep += "<a>";
    const struct
    {
        const char *what;
        QByteArray xml;
    } cases[] = {
        {"benign: batches of one file", benign},
        {"root with 1.7 million attributes", fill(head + "<configuration", " a%1=\"\"", "/>")},
        {"root with a million namespaces", fill(head + "<configuration", " xmlns:p%1=\"u\"", "/>")},
        {"elements nested 4 million deep", fill(head, "<a>", "")},
        {"4 million empty elements", fill(head + "<c>", "<a/>", "</c>")},
        {"document type, 300,000 attribute lists",
         fill(head + "<!DOCTYPE c [", "<!ATTLIST e%1 a CDATA \"x\">", "]><c/>")},
        {"one text of 16 MiB", fill(head + "<c><title>", "x", "</title></c>")},
    };
    std::printf("  %-40s %18s %7s %18s %18s\n", "CPU s (wall s)", "XML reading", "vs ref",
                "load(), signature", "the program");
    bool met = true;
    for (const auto &c : cases) {
        const Time read = timeOf([&c, &path] {
            Configuration configuration(path);
            configuration.readBytes(c.xml);
        });
        QFile file(path + QStringLiteral("configuration.xml"));
        if (!file.open(QIODevice::WriteOnly) || file.write(c.xml) != c.xml.size())
            return 1;
        file.close();
        const Time checked = timeOf([&path] {
            Configuration fromDisk(path);
            if (fromDisk.load())
                (void)fromDisk.checkSignature();
        });
        const Time program = timeOf([&path] {
            Configuration fromDisk(path);
            (void)fromDisk.loadChecked();
        });
        met = met && read.cpu < 1 && checked.cpu < 1 && program.cpu < 1;
        std::printf("  %-40s %8.3f (%7.3f) %7.2f %8.3f (%7.3f) %8.3f (%7.3f)\n", c.what, read.cpu,
                    read.wall, read.cpu / reference.cpu, checked.cpu, checked.wall, program.cpu,
                    program.wall);
    }

    QByteArray twenty = "<c";
    for (int i = 0; i < 20000; ++i)
        twenty += " a" + QByteArray::number(i) + "=\"\"";
    twenty += "/>";
    std::printf("for scale, QXmlStreamReader alone on one element with 20,000 attributes (%d "
                "bytes): %.3f s CPU\n",
                int(twenty.size()), plainReader(twenty).cpu);
    std::printf("goal: every reading under a second of CPU: %s\n", met ? "met" : "MISSED");
    return met ? 0 : 1;
}
