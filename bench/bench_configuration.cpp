// Reading configuration.xml at its size limit (16 MiB), benign and hostile, against
// QXmlStreamReader reading a benign document of the same size in the same run: the XML reading
// (Configuration::readBytes); what verify does, load() and the signature check from the disk;
// and what the program does, Configuration::loadChecked(), which reads the XML only once the
// signature is valid (none of these files is signed). Goal: every case under a second of CPU,
// in proportion to the size. For scale, QXmlStreamReader alone on one element with 20,000
// attributes.
//
// With --short: documents of 1 MiB, each case named by its count, and 5,000 attributes for
// scale. The goal is then a quarter of a second: a sixteenth in proportion, four times over,
// since at this size a busy machine's noise is of the order of the readings themselves (the
// same short run took from 45 to 95 ms of CPU here as other work came and went). A reading
// that has stopped being linear takes seconds.
#include "benchmode.h"
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

// The documents' size: the limit, or a sixteenth of it in a short run. Set once, in main().
int size = kLimit;

// `head`, then `unit` (numbered with %1 when it holds it) as often as fits in `size`, then
// `tail`; `count` gets how many units went in.
QByteArray fill(const QByteArray &head, const QByteArray &unit, const QByteArray &tail,
                int *count = nullptr)
{
    QByteArray out = head;
    out.reserve(size);
    const bool numbered = unit.contains("%1");
    int i = 0;
    for (; out.size() + unit.size() + 8 + tail.size() < size; ++i)
        out += numbered ? QByteArray(unit).replace("%1", QByteArray::number(i)) : unit;
    if (count)
        *count = i;
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
    bool shortRun = false;
    if (!bench::parseMode(argc, argv, shortRun))
        return 2;
    size = shortRun ? kLimit / 16 : kLimit;
    const double goal = shortRun ? 0.25 : 1.0; // seconds of CPU, for each reading
    QCoreApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("vardel.configuration.info=false"));
    QTemporaryDir dir;
    const QString path = dir.path() + QLatin1Char('/');
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const QByteArray benign =
        fill(head + "<configuration>",
             "<batch id=\"%1\"><file sha256=\"0\">f%1.bin</file></batch>\n", "</configuration>\n");
    const Time reference = plainReader(benign);
    std::printf("configuration.xml of %d bytes (%s); reference: QXmlStreamReader alone on "
                "a benign document, %.3f s CPU (%.3f s wall)\n",
                int(benign.size()), shortRun ? "a sixteenth of the limit" : "the limit",
                reference.cpu, reference.wall);

    QByteArray deep;
    for (int i = 0; i < 4; ++i)
        deep += "<a>";
    // Each case is named as it is at the limit; in a short run, by its count (%d).
    int count[7] = {};
    const struct
    {
        const char *what;
        const char *shortWhat;
        QByteArray xml;
    } cases[] = {
        {"benign: batches of one file", "benign: batches of one file", benign},
        {"root with 1.7 million attributes", "root with %d attributes",
         fill(head + "<configuration", " a%1=\"\"", "/>", &count[1])},
        {"root with a million namespaces", "root with %d namespaces",
         fill(head + "<configuration", " xmlns:p%1=\"u\"", "/>", &count[2])},
        {"elements nested 4 million deep", "elements nested %d deep",
         fill(head, "<a>", "", &count[3])},
        {"4 million empty elements", "%d empty elements",
         fill(head + "<c>", "<a/>", "</c>", &count[4])},
        {"document type, 300,000 attribute lists", "document type, %d attribute lists",
         fill(head + "<!DOCTYPE c [", "<!ATTLIST e%1 a CDATA \"x\">", "]><c/>", &count[5])},
        {"one text of 16 MiB", "one text of %d bytes",
         fill(head + "<c><title>", "x", "</title></c>", &count[6])},
    };
    std::printf("  %-40s %18s %7s %18s %18s\n", "CPU s (wall s)", "XML reading", "vs ref",
                "load(), signature", "the program");
    bool met = true;
    int index = 0;
    for (const auto &c : cases) {
        char what[64];
        std::snprintf(what, sizeof what, shortRun ? c.shortWhat : c.what, count[index++]);
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
        met = met && read.cpu < goal && checked.cpu < goal && program.cpu < goal;
        std::printf("  %-40s %8.3f (%7.3f) %7.2f %8.3f (%7.3f) %8.3f (%7.3f)\n", what, read.cpu,
                    read.wall, read.cpu / reference.cpu, checked.cpu, checked.wall, program.cpu,
                    program.wall);
    }

    QByteArray twenty = "<c";
    for (int i = 0; i < (shortRun ? 5000 : 20000); ++i)
        twenty += " a" + QByteArray::number(i) + "=\"\"";
    twenty += "/>";
    std::printf("for scale, QXmlStreamReader alone on one element with %s attributes (%d "
                "bytes): %.3f s CPU\n",
                shortRun ? "5,000" : "20,000", int(twenty.size()), plainReader(twenty).cpu);
    if (shortRun)
        std::printf("goal: every reading under %.2f s of CPU (a second at the limit; four times "
                    "its sixteenth): %s\n",
                    goal, met ? "met" : "MISSED");
    else
        std::printf("goal: every reading under a second of CPU: %s\n", met ? "met" : "MISSED");
    return met ? 0 : 1;
}
