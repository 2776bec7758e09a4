#include "app/logger.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

namespace {

const QString kStamp = QStringLiteral("== \\d{2}/\\d{2}/\\d{4} \\d{2}:\\d{2}:\\d{2} == ");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    // One stamp per entry, line breaks kept, UTF-8 without a byte-order mark, appended across
    // runs, and the banners to the byte.
    void entries()
    {
        const QString path = dir.filePath(QStringLiteral("a.txt"));
        {
            logger log(nullptr, path);
            log.write(QStringLiteral("Aucun terminal détecté"));
            log.write(QStringLiteral("ligne un\nligne deux"));
        }
        {
            logger log(nullptr, path);
            log.write(logger::startBanner);
        }
        const QByteArray bytes = readAll(path);
        QVERIFY(bytes.startsWith("== "));
        QVERIFY(bytes.contains("d\xC3\xA9tect\xC3\xA9"));
        const QString rule = QRegularExpression::escape(QString(35, QLatin1Char('*')));
        const QRegularExpression expected(
            QStringLiteral("^") + kStamp + QStringLiteral("Aucun terminal détecté\n") + kStamp +
            QStringLiteral("ligne un\nligne deux\n") + kStamp + QStringLiteral("\n") + rule +
            QStringLiteral("\nDémarrage de l'application\n") + rule + QStringLiteral("\n\n$"));
        QVERIFY2(expected.match(QString::fromUtf8(bytes)).hasMatch(), bytes.constData());
        QCOMPARE(
            logger::endBanner,
            QStringLiteral("\n%1\nFin de l'application\n%1\n").arg(QString(35, QLatin1Char('*'))));
    }

    void unopenableFileIsSilent()
    {
        logger missing(nullptr, dir.filePath(QStringLiteral("no/such/dir/x.txt")));
        missing.write(QStringLiteral("perdu"));
        logger unnamed(nullptr, QString());
        unnamed.write(QStringLiteral("perdu"));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("no"))));
    }

    // Entries written from many threads at once each reach the file whole, and each thread's
    // entries keep their order.
    void concurrentWritersKeepEntriesWhole()
    {
        const QString path = dir.filePath(QStringLiteral("c.txt"));
        constexpr int kThreads = 8;
        constexpr int kEntries = 400;
        {
            logger log(nullptr, path);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&log, t] {
                    for (int i = 0; i < kEntries; ++i)
                        log.write(QStringLiteral("fil %1 entrée %2 %3")
                                      .arg(t)
                                      .arg(i)
                                      .arg(QString(40, QLatin1Char('x'))));
                });
            }
            for (auto &thread : threads)
                thread.join();
        }
        const QStringList lines =
            QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), kThreads * kEntries);
        const QRegularExpression line(QStringLiteral("^") + kStamp +
                                      QStringLiteral("fil (\\d+) entrée (\\d+) x{40}$"));
        std::vector<int> next(kThreads, 0);
        for (const QString &l : lines) {
            const auto match = line.match(l);
            QVERIFY2(match.hasMatch(), qPrintable(l));
            QCOMPARE(match.captured(2).toInt(), next[match.captured(1).toInt()]++);
        }
    }

private:
    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
