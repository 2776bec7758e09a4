// Tampering, exhaustively, on one small signed package, with the digests of its files and as an
// older vardel-pack signed it, without them: every single-byte change of configuration.xml
// (each position, several values), every insertion of an element at each element boundary,
// every truncation. The program's verdict on each (the signature, then the files) is "invalid",
// or the package means exactly what was signed.
#include "config/configuration.h"
#include "packagefixture.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <set>

class TestTampering : public QObject
{
    Q_OBJECT

private slots:
    void exhaustive_data()
    {
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<int>("binding");
        QTest::newRow("digests") << fixture::signXml(fixture::unsignedXml())
                                 << int(Configuration::Binding::Bound);
        QTest::newRow("no digests") << fixture::signWithoutDigests(fixture::unsignedXml())
                                    << int(Configuration::Binding::Unbound);
    }
    void exhaustive()
    {
        QFETCH(QByteArray, original);
        QFETCH(int, binding);
        QLoggingCategory::setFilterRules(QStringLiteral("vardel.configuration.info=false"));
        QTemporaryDir dir; // the package, hterm.bin and all
        const QString path = dir.path() + QLatin1Char('/');
        QVERIFY(fixture::writePackage(path));
        Configuration reference(path);
        reference.readBytes(original);
        QVERIFY(reference.checkSignature() && reference.checkFiles());
        QVERIFY(int(reference.binding()) == binding && reference.getBatches().size() == 1);
        const QString signedMeaning = fixture::summary(reference);
        QStringList wrong; // accepted, meaning something else: none expected
        // The program's verdict on each variant: what load() does with the bytes it read, and
        // one check. Returns how many were accepted meaning exactly what was signed.
        const auto judge = [&](const char *kind, const QList<QByteArray> &variants) {
            int invalid = 0, same = 0;
            for (const QByteArray &variant : variants) {
                Configuration c(path);
                c.readBytes(variant);
                if (!c.checkSignature() || !c.checkFiles())
                    ++invalid;
                else if (fixture::summary(c) == signedMeaning)
                    ++same;
                else
                    wrong << QString::fromUtf8(variant);
            }
            qInfo("%s: %d variants, %d invalid, %d accepted meaning exactly what was signed, %d "
                  "accepted meaning something else",
                  kind, int(variants.size()), invalid, same, int(variants.size()) - invalid - same);
            return same;
        };

        QList<QByteArray> changes, insertions, truncations;
        for (int i = 0; i < original.size(); ++i) {
            // A bit, the case (or a neighbouring character), white space, markup.
            std::set<char> values{
                char(original[i] ^ 0x01), char(original[i] ^ 0x20), ' ', '\n', '<', '>'};
            values.erase(original[i]);
            for (const char value : values)
                changes << QByteArray(original).replace(i, 1, &value, 1);
        }
        int boundaries = 0;
        for (int i = 0; i <= original.size(); ++i) {
            if ((i == original.size() || original[i] != '<') && (i == 0 || original[i - 1] != '>'))
                continue;
            ++boundaries;
            for (const char *element :
                 {"<batch id=\"9\"><file>mirandol.agn</file></batch>", "<hterm>hterm.bin</hterm>",
                  "<operation><title>Pirate</title><description>x</description></operation>",
                  "<terminal><image>other.png</image></terminal>"})
                insertions << original.left(i) + element + original.mid(i);
        }
        for (int size = 0; size < original.size(); ++size)
            truncations << original.left(size);
        qInfo("configuration.xml: %d bytes, %d element boundaries", int(original.size()),
              boundaries);
        const int changed = judge("single-byte changes", changes);
        const int inserted = judge("element insertions", insertions);
        judge("truncations", truncations);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 3).join(QLatin1Char('\n'))));
        // Not vacuous: white space after the signature may change, and nothing may be added.
        QVERIFY(changed > 0 && inserted == 0);
    }
};

QTEST_GUILESS_MAIN(TestTampering)
#include "tst_tampering.moc"
