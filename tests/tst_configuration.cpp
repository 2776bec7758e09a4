#include "config/configuration.h"
#include "model/model.h"
#include "packagefixture.h"
#include "sealing.h"
#include "testseam.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

namespace {

// The model in one line, paths relative to the configuration directory.
QString summary(const Configuration &c, const QString &dir)
{
    QStringList batches;
    for (const Batch *batch : c.getBatches()) {
        QStringList files;
        for (const Application *file : batch->files)
            files << QString(file->path).replace(dir, QStringLiteral("DIR/"));
        batches << QStringLiteral("%1[%2]").arg(batch->id).arg(files.join(QLatin1Char(',')));
    }
    return QStringList{c.terminal->name,
                       c.terminal->code,
                       QString(c.getImage()).replace(dir, QStringLiteral("DIR/")),
                       QString::number(c.getDelayReboot()),
                       c.getTitle(),
                       c.getDescription(),
                       batches.join(QLatin1Char(' ')),
                       QString::number(c.getHTerminals().size())}
        .join(QLatin1Char('|'));
}

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(logs.path())); // the Model's log file goes there
    }

    void directoryRule_data()
    {
        QTest::addColumn<QString>("applicationDir");
        QTest::addColumn<QChar>("separator");
        QTest::addColumn<QString>("expected");
        QTest::newRow("slash") << "/opt/vardel" << QChar(QLatin1Char('/'))
                               << "/opt/vardel/./configuration/";
        QTest::newRow("backslash")
            << "C:/Vardel" << QChar(QLatin1Char('\\')) << "C:/Vardel\\.\\configuration\\";
    }
    void directoryRule()
    {
        QFETCH(QString, applicationDir);
        QFETCH(QChar, separator);
        QFETCH(QString, expected);
        QCOMPARE(Configuration::directoryFor(applicationDir, separator), expected);
        // The program reads the directory beside its executable.
        const QString own =
            Configuration::directoryFor(QCoreApplication::applicationDirPath(), QDir::separator());
        QCOMPARE(Configuration().configurationFile(), own + QStringLiteral("configuration.xml"));
        QCOMPARE(Configuration::filePath(), own + QStringLiteral("configuration.xml"));
    }

    void reader_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("expected");
        QTest::newRow("full")
            << QByteArray(
                   "<configuration><terminal><name>Iris</name><code>IR5</code><image>t.png</image>"
                   "<delayReboot>60000</delayReboot></terminal><operation><title>T</title>"
                   "<description>D</description></operation><batch id=\"2\"><file>a.bin</file>"
                   "<file>b.bin</file></batch><batch id=\"1\"><file>c.bin</file></batch>"
                   "<hterm>h.bin</hterm><signature>x</signature></configuration>")
            << "Iris|IR5|DIR/t.png|60000|T|D|2[DIR/a.bin,DIR/b.bin] 1[DIR/c.bin]|1";
        QTest::newRow("batch inside terminal")
            << QByteArray(
                   "<configuration><terminal><name>N</name><batch id=\"3\"><file>x</file></batch>"
                   "</terminal></configuration>")
            << "N|||0||||0";
        QTest::newRow("hterm inside batch")
            << QByteArray("<configuration><batch><hterm>h.bin</hterm><file>f</file></batch></"
                          "configuration>")
            << "|||0|||0[DIR/f]|0";
        QTest::newRow("leading line break kept")
            << QByteArray(
                   "<configuration><batch id=\"x\"><file>\napp.bin</file></batch></configuration>")
            << "|||0|||0[DIR/\napp.bin]|0";
        QTest::newRow("empty values, delay not a number")
            << QByteArray(
                   "<configuration><terminal><name/><code></code><delayReboot>6e4</delayReboot>"
                   "</terminal></configuration>")
            << "|||0||||0";
        QTest::newRow("later terminal overwrites")
            << QByteArray("<configuration><terminal><name>A</name><code>C</code></terminal>"
                          "<terminal><name>B</name></terminal></configuration>")
            << "B|C||0||||0";
        QTest::newRow("single token, verbatim")
            << QByteArray(
                   "<configuration><operation><title> a<!--c-->b</title></operation><name>X</name>"
                   "</configuration>")
            << "|||0| a|||0";
        QTest::newRow("truncated inside terminal")
            << QByteArray("<configuration><terminal><name>A</name><co") << "A|||0||||0";
    }
    void reader()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        QVERIFY(fixture::write(path + QStringLiteral("h.bin"), sealing::seal("hterm")));
        QVERIFY(fixture::write(path + QStringLiteral("configuration.xml"), xml));
        Configuration c(path);
        QTest::ignoreMessage(
            QtInfoMsg, qPrintable(QStringLiteral("Configuration::load searching in ") + path));
        QVERIFY(c.load());
        QCOMPARE(summary(c, path), expected);
    }

    void hterm_data()
    {
        QTest::addColumn<QByteArray>("file");   // empty: no file at all
        QTest::addColumn<QByteArray>("record"); // empty: ignored
        const QByteArray sixteen("0123456789ABCDEF");
        const QByteArray full(128, 'r');
        QTest::newRow("L = 10") << sealing::sealAnnouncing(sixteen, 10) << sixteen.left(10);
        QTest::newRow("L = 12") << sealing::seal(sixteen.left(12)) << sixteen.left(12);
        QTest::newRow("L beyond the content") << sealing::sealAnnouncing(sixteen, 40) << sixteen;
        QTest::newRow("128 bytes") << sealing::seal(full) << full;
        QTest::newRow("129 bytes") << sealing::seal(full + 'x') << QByteArray();
        QTest::newRow("L beyond 144 bytes")
            << sealing::sealAnnouncing(QByteArray(144, 'r'), 9999) << QByteArray();
        QTest::newRow("3 bytes") << QByteArray(3, '\0') << QByteArray();
        QTest::newRow("not whole blocks") << sealing::seal(sixteen) + 'x' << QByteArray();
        QTest::newRow("missing") << QByteArray() << QByteArray();
    }
    void hterm()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, record);
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        if (!file.isEmpty())
            QVERIFY(fixture::write(path + QStringLiteral("h.bin"), file));
        QVERIFY(fixture::write(path + QStringLiteral("configuration.xml"),
                               "<configuration><hterm>h.bin</hterm><hterm/></configuration>"));
        Configuration c(path);
        QVERIFY(c.load());
        QCOMPARE(c.ignoredHTerminals.size(), record.isEmpty() ? 2 : 1); // <hterm/>: the directory
        QCOMPARE(c.hterms.size(), record.isEmpty() ? 0 : 1);
        if (!record.isEmpty()) {
            const QByteArray stored(reinterpret_cast<const char *>(c.hterms[0]->record.data()),
                                    128);
            QCOMPARE(stored.toHex(), (record + QByteArray(128 - record.size(), '\0')).toHex());
        }
    }

    void loadConfiguration_data()
    {
        QTest::addColumn<QByteArray>("xml"); // empty: no configuration.xml
        QTest::addColumn<bool>("loaded");
        const QByteArray good = fixture::signXml(fixture::unsignedXml());
        QTest::newRow("signed package") << good << true;
        QTest::newRow("changed after signing")
            << QByteArray(good).replace("60000", "90000") << false;
        QTest::newRow("not signed") << fixture::unsignedXml() << false;
        QTest::newRow("no configuration.xml") << QByteArray() << false;
    }
    // On a worker thread, as the window runs it: exactly one of the two signals.
    void loadConfiguration()
    {
        QFETCH(QByteArray, xml);
        QFETCH(bool, loaded);
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        QVERIFY(fixture::writePackage(path));
        QVERIFY(xml.isEmpty() ? QFile::remove(path + QStringLiteral("configuration.xml"))
                              : fixture::write(path + QStringLiteral("configuration.xml"), xml));
        Model model(nullptr);
        TestSeam::setConfiguration(model, new Configuration(path));
        QSignalSpy loadedSpy(&model, &Model::configurationLoaded);
        QSignalSpy failedSpy(&model, &Model::configurationFailed);
        QtConcurrent::run(&model, &Model::loadConfiguration).waitForFinished();
        QCOMPARE(loadedSpy.size(), loaded ? 1 : 0);
        QCOMPARE(failedSpy.size(), loaded ? 0 : 1);
        if (loaded) {
            QCOMPARE(model.getTitle(), QStringLiteral("Mise à jour"));
            QCOMPARE(model.getImage(), path + QStringLiteral("terminal.png"));
            const auto record = model.getConfiguration()->getHTerminals().at(0)->record;
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(record.data()) + 8, 3).toHex(),
                     QByteArray("123456"));
        }
    }

private:
    QTemporaryDir logs;
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "tst_configuration.moc"
