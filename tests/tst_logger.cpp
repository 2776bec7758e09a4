#include "app/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>
#include <vector>

namespace {

const QString kStamp = QStringLiteral("== \\d{2}/\\d{2}/\\d{4} \\d{2}:\\d{2}:\\d{2} == ");

QString readAll(const QString &path)
{
    QFile file(path);
    return QString::fromUtf8(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // One stamp per entry, line breaks kept, UTF-8 without a byte-order mark, appended across
    // runs, and the banners to the byte.
    void entries()
    {
        const QString path = dir.filePath(QStringLiteral("a.txt"));
        for (const QString &entry : {QStringLiteral("Aucun terminal détecté"),
                                     QStringLiteral("ligne un\nligne deux"), logger::startBanner})
            logger(nullptr, path).write(entry);
        QCOMPARE(readAll(path).replace(QRegularExpression(kStamp), QStringLiteral("@")),
                 QStringLiteral("@Aucun terminal détecté\n@ligne un\nligne deux\n@\n%1\n"
                                "Démarrage de l'application\n%1\n\n")
                     .arg(QString(35, QLatin1Char('*'))));
        QCOMPARE(logger::endBanner,
                 QString(logger::startBanner)
                     .replace(QStringLiteral("Démarrage"), QStringLiteral("Fin")));
    }

    // A log that cannot be opened (its name is taken by a folder) or has no name loses its
    // entries quietly and creates nothing.
    void unopenableLogIsQuiet()
    {
        const QString path = dir.filePath(QStringLiteral("quiet/taken"));
        QVERIFY(QDir().mkpath(path) && QDir::setCurrent(dir.filePath(QStringLiteral("quiet"))));
        logger(nullptr, path).write(QStringLiteral("perdu"));
        logger(nullptr, QString()).write(QStringLiteral("perdu"));
        QVERIFY(QFileInfo(path).isDir());
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
        const QString path = dir.filePath(QStringLiteral("c%1.txt").arg(writerPerThread));
        constexpr int kThreads = 8, kEntries = 400, kFill = 20000;
        {
            logger shared(nullptr, path);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    std::unique_ptr<logger> own;
                    if (writerPerThread)
                        own = std::make_unique<logger>(nullptr, path);
                    logger &log = own ? *own : shared;
                    for (int i = 0; i < kEntries; ++i)
                        log.write(QStringLiteral("fil %1 entrée %2 ").arg(t).arg(i) +
                                  QString(kFill, QLatin1Char('x')));
                });
            for (auto &thread : threads)
                thread.join();
        }
        const QStringList lines = readAll(path).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), kThreads * kEntries);
        const QRegularExpression line(QStringLiteral("^") + kStamp +
                                      QStringLiteral("fil (\\d+) entrée (\\d+) x{%1}$").arg(kFill));
        std::vector<int> next(kThreads, 0);
        for (const QString &l : lines) {
            const auto match = line.match(l);
            QVERIFY2(match.hasMatch(), qPrintable(l));
            QCOMPARE(match.captured(2).toInt(), next[match.captured(1).toInt()]++);
        }
    }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
