#include "app/logger.h"
#include "replies.h"

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
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
