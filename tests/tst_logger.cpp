#include "app/logger.h"
#include "model/model.h"
#include "ui/mainwindow.h"

#include <QDate>
#include <QDir>
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
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString todaysLogName()
{
    return QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral("_logs.txt");
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
    }
    void cleanup() { QDir::setCurrent(previous); }

    void entryFormatAndEncoding()
    {
        const QString path = dir.filePath(QStringLiteral("a.txt"));
        {
            logger log(nullptr, path);
            log.write(QStringLiteral("Aucun terminal détecté"));
            log.write(QStringLiteral("ligne un\nligne deux"));
        }
        const QByteArray bytes = readAll(path);
        QVERIFY(!bytes.startsWith("\xEF\xBB\xBF")); // no byte-order mark
        const QString text = QString::fromUtf8(bytes);
        const QRegularExpression expected(QStringLiteral("^") + kStamp +
                                          QStringLiteral("Aucun terminal détecté\n") + kStamp +
                                          QStringLiteral("ligne un\nligne deux\n$"));
        QVERIFY2(expected.match(text).hasMatch(), qPrintable(text));
        QVERIFY(bytes.contains("d\xC3\xA9tect\xC3\xA9")); // é stored as UTF-8
    }

    void appendsAcrossRuns()
    {
        const QString path = dir.filePath(QStringLiteral("b.txt"));
        {
            logger first(nullptr, path);
            first.write(QStringLiteral("premier"));
        }
        {
            logger second(nullptr, path);
            second.write(QStringLiteral("second"));
        }
        const QString text = QString::fromUtf8(readAll(path));
        QVERIFY(text.indexOf(QStringLiteral("premier")) >= 0);
        QVERIFY(text.indexOf(QStringLiteral("second")) > text.indexOf(QStringLiteral("premier")));
    }

    void unopenableFileAndEmptyNameAreSilent()
    {
        QTemporaryDir empty;
        QVERIFY(QDir::setCurrent(empty.path()));
        logger missingDir(nullptr, empty.filePath(QStringLiteral("no/such/dir/x.txt")));
        missingDir.write(QStringLiteral("perdu"));
        logger noName(nullptr, QString());
        noName.write(QStringLiteral("perdu"));
        QCOMPARE(QDir(empty.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // The Model names the file after the working directory and the day, and the window writes
    // the start banner when built and the end banner when destroyed.
    void windowWritesBothBannersToTodaysFile()
    {
        {
            MainWindow window;
        }
        const QString path = QDir::currentPath() + QDir::separator() + todaysLogName();
        const QString text = QString::fromUtf8(readAll(path));
        const QString rule = QRegularExpression::escape(QString(35, QLatin1Char('*')));
        const QRegularExpression start(QStringLiteral("^") + kStamp + QStringLiteral("\n") + rule +
                                       QStringLiteral("\nDémarrage de l'application\n") + rule +
                                       QStringLiteral("\n\n"));
        const QRegularExpression end(kStamp + QStringLiteral("\n") + rule +
                                     QStringLiteral("\nFin de l'application\n") + rule +
                                     QStringLiteral("\n\n$"));
        QVERIFY2(start.match(text).hasMatch(), qPrintable(text));
        QVERIFY2(end.match(text).hasMatch(), qPrintable(text));
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
                        log.write(QStringLiteral("fil %1 entrée %2 ").arg(t).arg(i) +
                                  QString(40, QLatin1Char('x')));
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
            const int t = match.captured(1).toInt();
            QCOMPARE(match.captured(2).toInt(), next[t]);
            ++next[t];
        }
    }

private:
    QTemporaryDir dir;
    QString previous;
};

QTEST_MAIN(TestLogger)
#include "tst_logger.moc"
