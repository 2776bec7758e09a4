// Tampering, exhaustively, on one small signed package: every single-byte change of
// configuration.xml (each position, several values), every insertion of an element at each
// element boundary, every truncation. The program's verdict on each is "invalid", or the file
// means exactly what was signed.
#include "config/configuration.h"
#include "packagefixture.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <set>

class TestTampering : public QObject
{
    Q_OBJECT

    struct Tally
    {
        int variants = 0, invalid = 0, sameMeaning = 0;
        QStringList otherMeaning; // accepted, meaning something else: none expected
    };

    // Everything the program takes from the model, in one text.
    static QString meaning(const Configuration &c)
    {
        QStringList out{c.terminal->name,  c.terminal->code, c.getImage(),
                        QString::number(c.getDelayReboot()), c.getTitle(), c.getDescription()};
        for (const Batch *batch : c.getBatches()) {
            out << QString::number(batch->id);
            for (const Application *file : batch->files)
                out << file->path;
        }
        for (const HTerminal *hterm : c.getHTerminals())
            out << QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(hterm->record.data()),
                                                  HTerminal::kRecordSize)
                                           .toHex());
        return out.join(QLatin1Char('|'));
    }

    // The program's verdict: what load() does with the bytes it read, and one check.
    void judge(const QByteArray &variant, Tally &tally)
    {
        ++tally.variants;
        Configuration c(dir.path() + QLatin1Char('/'));
        c.readBytes(variant);
        if (!c.checkSignature())
            ++tally.invalid;
        else if (meaning(c) == signedMeaning)
            ++tally.sameMeaning;
        else
            tally.otherMeaning << QString::fromUtf8(variant);
    }

private slots:
    void exhaustive()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("vardel.configuration.info=false"));
        QVERIFY(fixture::writePackage(dir.path() + QLatin1Char('/'))); // hterm.bin and all
        const QByteArray original = fixture::signXml(fixture::unsignedXml());
        Configuration reference(dir.path() + QLatin1Char('/'));
        reference.readBytes(original);
        QVERIFY(reference.checkSignature() && reference.getBatches().size() == 1);
        signedMeaning = meaning(reference);

        Tally changes, insertions, truncations;
        int boundaries = 0;
        for (int i = 0; i < original.size(); ++i) {
            // A bit, the case (or a neighbouring character), white space, markup.
            std::set<char> values{char(original[i] ^ 0x01), char(original[i] ^ 0x20), ' ', '\n',
                                  '<', '>'};
            values.erase(original[i]);
            for (const char value : values)
                judge(QByteArray(original).replace(i, 1, &value, 1), changes);
        }
        for (int i = 0; i <= original.size(); ++i) {
            if ((i == original.size() || original[i] != '<') && (i == 0 || original[i - 1] != '>'))
                continue;
            ++boundaries;
            for (const char *element :
                 {"<batch id=\"9\"><file>mirandol.agn</file></batch>", "<hterm>hterm.bin</hterm>",
                  "<operation><title>Pirate</title><description>x</description></operation>",
                  "<terminal><image>other.png</image></terminal>"})
                judge(original.left(i) + element + original.mid(i), insertions);
        }
        for (int size = 0; size < original.size(); ++size)
            judge(original.left(size), truncations);

        qInfo("configuration.xml: %d bytes, %d element boundaries", int(original.size()),
              boundaries);
        for (const auto &[what, t] : {std::pair<const char *, const Tally &>{"single-byte changes",
                                                                              changes},
                                      {"element insertions", insertions},
                                      {"truncations", truncations}})
            qInfo("%s: %d variants, %d invalid, %d accepted meaning exactly what was signed, %d "
                  "accepted meaning something else",
                  what, t.variants, t.invalid, t.sameMeaning, int(t.otherMeaning.size()));
        const QStringList wrong = changes.otherMeaning + insertions.otherMeaning +
                                  truncations.otherMeaning;
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 3).join(QLatin1Char('\n'))));
        // Not vacuous: white space after the signature may change, and nothing may be added.
        QVERIFY(changes.sameMeaning > 0 && insertions.sameMeaning == 0);
    }

private:
    QTemporaryDir dir;
    QString signedMeaning;
};

QTEST_GUILESS_MAIN(TestTampering)
#include "tst_tampering.moc"
