#include "config/signature.h"
#include "pack.h"
#include "packagefixture.h"

#include <QTest>

namespace {

// The decision of the first design, where the program held the private key: recompute the
// signature text and compare it with the stored one.
bool acceptedByRecomputing(const QByteArray &file)
{
    const QByteArray block = signature::block(signature::signedRegion(file));
    QByteArray value(signature::kValueSize, '\0');
    RsaParameters p{reinterpret_cast<const quint8 *>(block.constData()), 256,
                    reinterpret_cast<quint8 *>(value.data()), 0};
    rsaInit(2);
    rsaDispatch(kRsaTypeRaw, kRsaModePrivate, &p, &fixture::buildKey());
    rsaFinal();
    return signature::encodeText(value) == signature::extractText(file);
}

// The program's decision: the public key only.
bool accepted(const QByteArray &file)
{
    RsaPublicKey key;
    signature::builtInKey(key);
    return signature::check(file, signature::extractText(file), key) == signature::Verdict::Valid;
}

QByteArray withText(QByteArray file, const QByteArray &text)
{
    const int start = file.lastIndexOf(signature::kOpenMarker) + signature::kOpenMarker.size();
    return file.replace(start, signature::kTextSize, text);
}

} // namespace

class TestSignature : public QObject
{
    Q_OBJECT

private slots:
    void variants_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("valid");
        const QByteArray plain = fixture::unsignedXml();
        const QByteArray good = fixture::signXml(plain);
        const int marker = good.lastIndexOf(signature::kOpenMarker);
        const QByteArray text = signature::extractText(good).toLatin1();
        QCOMPARE(text.size(), signature::kTextSize);
        auto changed = [](QByteArray file, int at) {
            file[at] = char(file[at] ^ 1);
            return file;
        };
        auto crlf = [](QByteArray file) { return file.replace("\n", "\r\n"); };

        QTest::newRow("signed by vardel-pack") << good << true;
        QTest::newRow("first byte changed") << changed(good, 0) << false;
        QTest::newRow("byte before the marker changed") << changed(good, marker - 1) << false;
        QTest::newRow("value changed") << QByteArray(good).replace("Iris", "Irix") << false;
        QTest::newRow("final line break removed") << good.left(good.size() - 1) << true;
        QTest::newRow("comment after the root") << good + "<!-- shipped -->\n" << true;
        QTest::newRow("CR LF line endings") << crlf(good) << false;
        QTest::newRow("CR LF after the marker only")
            << good.left(marker) + crlf(good.mid(marker)) << true;
        QTest::newRow("text over two lines")
            << withText(good, text.left(76) + '\n' + text.mid(76, 268)) << false;
        QTest::newRow("spaces around the text")
            << QByteArray(good).replace(text, ' ' + text + ' ') << false;
        QTest::newRow("second marker after the element") << good + "<!-- <signature> -->\n"
                                                         << false;
        // Same 256 bytes, but padding bits set in the last character before "==".
        const QByteArray alphabet(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
        QByteArray loose = text;
        loose[341] = alphabet[alphabet.indexOf(text[341]) + 1];
        QCOMPARE(QByteArray::fromBase64(loose), QByteArray::fromBase64(text));
        QTest::newRow("non-canonical Base64") << withText(good, loose) << false;
        QTest::newRow("no signature element") << plain << false;
        QTest::newRow("closing marker before the opening one")
            << QByteArray(good)
                   .replace("</signature>", "")
                   .replace("<configuration>", "<configuration><!--</signature>-->")
            << false;
        QTest::newRow("value not below n")
            << withText(good, QByteArray(256, '\xFF').toBase64()) << false;
        QByteArray other;
        QString error;
        QVERIFY(pack::sign(plain, fixture::keyFromPem(fixture::freshPem()), other, error));
        QTest::newRow("signed with another key") << other << false;
    }
    // The public check accepts exactly the files that recomputing with the private key accepts.
    void variants()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, valid);
        QCOMPARE(accepted(file), valid);
        QCOMPARE(acceptedByRecomputing(file), valid);
    }

    void extraction_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QByteArray("<a><signature>abc</signature></a>") << "abc";
        QTest::newRow("last opening marker")
            << QByteArray("<signature>x</signature><signature>y</signature>") << "y";
        QTest::newRow("closing before opening") << QByteArray("</signature><signature>abc") << "";
        QTest::newRow("no closing marker") << QByteArray("<signature>abc") << "";
        QTest::newRow("no opening marker") << QByteArray("abc</signature>") << "";
        QTest::newRow("empty") << QByteArray("<signature></signature>") << "";
        QTest::newRow("zero byte") << QByteArray("<signature>ab\0cd</signature>", 28) << "ab";
    }
    void extraction()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, text);
        QCOMPARE(signature::extractText(file), text);
    }

    void signing()
    {
        // Deterministic, and signing again replaces the element in place.
        const QByteArray once = fixture::signXml(fixture::unsignedXml());
        QCOMPARE(fixture::signXml(fixture::unsignedXml()), once);
        QCOMPARE(once.count("<signature>"), 1);
        QByteArray edited = once;
        edited.replace("Iris", "Iris 2");
        const QByteArray again = fixture::signXml(edited);
        QVERIFY(accepted(again));
        QCOMPARE(again.left(again.indexOf("<signature>")),
                 edited.left(edited.indexOf("<signature>")));
        QCOMPARE(again.count("<signature>"), 1);

        // Inputs that cannot be signed so that the program accepts them.
        QByteArray out;
        QString error;
        for (const QByteArray &bad :
             {QByteArray("<configuration><terminal></configuration>"),
              QByteArray("<configuration/>"), fixture::unsignedXml() + "<!-- <signature> -->",
              fixture::unsignedXml() + "<!-- <signature></signature> -->",
              once + "<!-- </signature> -->"}) {
            QVERIFY2(!pack::sign(bad, fixture::buildKey(), out, error), bad.constData());
            QVERIFY(!error.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
