#include "model/model.h"
#include "replies.h"
#include "system/logger.h"
#include "system/printable.h"
#include "system/wallclock.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <thread>
#include <vector>

class TestLogger : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // One stamp per entry at the start of a line, line breaks kept, UTF-8 without a byte-order
    // mark, appended across runs, and the banners to the byte.
    void entries()
    {
        const QString path = dir.filePath("a.txt"_q);
        const QStringList written{"Aucun terminal détecté"_q, "ligne un\nligne deux"_q,
                                  logger::startBanner};
        for (const QString &entry : written)
            logger(nullptr, path).write(entry);
        QCOMPARE(logMessages(path), written);
        const QString rule(35, QLatin1Char('*'));
        QCOMPARE(logger::startBanner, "\n%1\nDémarrage de l'application\n%1\n"_q.arg(rule));
        QCOMPARE(logger::endBanner, "\n%1\nFin de l'application\n%1\n"_q.arg(rule));
    }

    // A log that cannot be opened (its name is taken by a folder) or written (the disk is full)
    // loses its entries, creates nothing, and says why, naming the file; one without a name
    // has nothing to say.
    void unwritableLogSaysWhy_data()
    {
        QTest::addColumn<QString>("name"); // relative to the test's folder, or absolute
        QTest::addColumn<QString>("failure");
        QTest::newRow("folder") << "taken"_q
                                << "le fichier de log ne peut pas être ouvert : %1 (un dossier "
                                   "porte ce nom)"_q;
        QTest::newRow("FIFO") << "fifo"_q
                              << "le fichier de log ne peut pas être ouvert : %1 (un tube nommé "
                                 "porte ce nom)"_q;
        QTest::newRow("full disk") << "/dev/full"_q
                                   << "le fichier de log ne peut pas être écrit : %1 (plus de "
                                      "place sur le disque)"_q;
        QTest::newRow("no name") << QString() << QString();
    }
    void unwritableLogSaysWhy()
    {
        QFETCH(QString, name);
        QFETCH(QString, failure);
        QVERIFY(QDir().mkpath(dir.filePath("quiet/taken"_q)) &&
                QDir::setCurrent(dir.filePath("quiet"_q)));
        QVERIFY(QFileInfo::exists("fifo"_q) || ::mkfifo("fifo", 0600) == 0);
        logger log(nullptr, name);
        log.write("perdu"_q);
        QCOMPARE(log.failure(), failure.isEmpty() ? failure : failure.arg(QFileInfo(name).absoluteFilePath()));
        QVERIFY(QFileInfo("taken"_q).isDir());
        QCOMPARE(QDir().entryList(QDir::Files), QStringList());
    }

    // Entries written from many threads at once, through one writer or through a writer per
    // thread (a Model per terminal), each reach the file whole, and each thread's entries keep
    // their order. Long entries make a torn one likely if the writers did not share one lock.
    void concurrentWritersKeepEntriesWhole_data()
    {
        QTest::addColumn<bool>("writerPerThread");
        QTest::newRow("one writer") << false;
        QTest::newRow("a writer per thread") << true;
    }
    void concurrentWritersKeepEntriesWhole()
    {
        QFETCH(bool, writerPerThread);
        const QString path = dir.filePath("c%1.txt"_q.arg(writerPerThread));
        constexpr int kThreads = 8, kEntries = 400, kFill = 20000;
        {
            logger shared(nullptr, path);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    std::unique_ptr<logger> own;
                    if (writerPerThread)
                        own = std::make_unique<logger>(nullptr, path);
                    for (int i = 0; i < kEntries; ++i)
                        (own ? *own : shared)
                            .write("fil %1 entrée %2 "_q.arg(t).arg(i) +
                                   QString(kFill, QLatin1Char('x')));
                });
            for (auto &thread : threads)
                thread.join();
        }
        const QStringList entries = logMessages(path);
        QCOMPARE(entries.size(), kThreads * kEntries);
        const QRegularExpression whole("^fil (\\d+) entrée (\\d+) x{%1}$"_q.arg(kFill));
        std::vector<int> next(kThreads, 0);
        for (const QString &entry : entries) {
            const auto match = whole.match(entry);
            QVERIFY2(match.hasMatch(), qPrintable(entry.left(100)));
            QCOMPARE(match.captured(2).toInt(), next[match.captured(1).toInt()]++);
        }
    }

    // What a device reports is shown as it is, UTF-8 included, but a character that a
    // terminal would act on never reaches it raw: control characters as \xHH, invisible format
    // characters as \u{HHHH}. A log entry keeps its line breaks.
    void escaping_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("text");  // printable::text
        QTest::addColumn<QString>("lines"); // printable::lines, and so a log entry
        QTest::newRow("plain") << "TVX00001"_q << "TVX00001"_q << "TVX00001"_q;
        QTest::newRow("UTF-8") << "E€1 caisse été 🙂"_q << "E€1 caisse été 🙂"_q
                               << "E€1 caisse été 🙂"_q;
        QTest::newRow("escape sequence") << "TVX\x1b[2J\x1b]0;titre\x07"_q
                                         << "TVX\\x1b[2J\\x1b]0;titre\\x07"_q
                                         << "TVX\\x1b[2J\\x1b]0;titre\\x07"_q;
        QTest::newRow("line breaks and tab") << "un\ndeux\r\ttrois"_q << "un\\x0adeux\\x0d\\x09trois"_q
                                             << "un\ndeux\\x0d\\x09trois"_q;
        QTest::newRow("NUL, DEL and C1") << "a"_q + QChar(0) + "b"_q + QChar(0x7f) + "c"_q +
                                                QChar(0x9b) + "d"_q
                                         << "a\\x00b\\x7fc\\x9bd"_q << "a\\x00b\\x7fc\\x9bd"_q;
        QTest::newRow("bidirectional override")
            << "TVX"_q + QChar(0x202e) + "1000"_q + QChar(0x2028) << "TVX\\u{202e}1000\\u{2028}"_q
            << "TVX\\u{202e}1000\\u{2028}"_q;
        QTest::newRow("lone surrogate") << "a"_q + QChar(0xd800) + "b"_q
                                        << "a\\u{d800}b"_q << "a\\u{d800}b"_q;
        QTest::newRow("backslash as it is") << "C:\\x"_q << "C:\\x"_q << "C:\\x"_q;
    }
    void escaping()
    {
        QFETCH(QString, value);
        QTEST(printable::text(value), "text");
        QTEST(printable::lines(value), "lines");
        const QString path = dir.filePath("escaped.txt"_q);
        QFile::remove(path);
        logger(nullptr, path).write(value);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString written = QString::fromUtf8(file.readAll());
        QFETCH(QString, lines);
        QVERIFY2(written.endsWith(" == "_q + lines + "\n"_q), qPrintable(written));
    }

    // Past midnight, every writer goes on in the new day's file, each entry in the file of the
    // day it bears: the Models built before midnight (the station's own and a terminal's) and
    // one built after. The clock is set a little before midnight.
    void acrossMidnight()
    {
        const QString before = QDir::currentPath();
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        const QDateTime real = QDateTime::currentDateTime();
        const QDateTime target(real.date(), QTime(23, 59, 59, 200));
        wallclock::setOffsetMs(real.msecsTo(target));
        const QDate day = wallclock::now().date();
        {
            Model station;
            Model terminal;
            terminal.setLogPrefix("[ttyACM1] "_q);
            station.log("avant minuit"_q);
            terminal.logProgress("Module"_q, "Téléchargement"_q, 10);
            QTRY_VERIFY_WITH_TIMEOUT(wallclock::now().date() > day, 3000);
            station.log("après minuit"_q);
            terminal.logProgress("Module"_q, "Téléchargement"_q, 20);
            Model later;
            later.log("nouveau"_q);
            QVERIFY(station.logFailure().isEmpty() && later.logFailure().isEmpty());
        }
        wallclock::setOffsetMs(0);
        QVERIFY(QDir::setCurrent(before));
        const auto read = [&work](const QDate &date) {
            QFile file(work.filePath(date.toString("yyyyMMdd"_q) + "_logs.txt"_q));
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        const QString first = day.toString("dd/MM/yyyy"_q) + " 23:59:59 == "_q;
        QCOMPARE(read(day), "== "_q + first + "avant minuit\n== "_q + first +
                                "[ttyACM1] Module : Téléchargement - 10\n"_q);
        const QString next = read(day.addDays(1));
        const QRegularExpression entry("^== "_q + day.addDays(1).toString("dd/MM/yyyy"_q) +
                                       " 00:00:0\\d == (.*)$"_q);
        QStringList messages;
        for (const QString &line : next.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const auto match = entry.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            messages << match.captured(1);
        }
        QCOMPARE(messages, (QStringList{"après minuit"_q, "[ttyACM1] Module : Téléchargement - 20"_q,
                                        "nouveau"_q}));
    }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
