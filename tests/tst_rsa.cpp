#include "crypto/bignum.h"
#include "crypto/rsa.h"
#include "pack.h"
#include "packagefixture.h"

#include <QRandomGenerator>
#include <QTest>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>

namespace {

using Bignum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using Pkey = std::shared_ptr<EVP_PKEY>;

Bignum toBn(const QByteArray &bytes)
{
    return Bignum(BN_bin2bn(reinterpret_cast<const unsigned char *>(bytes.constData()),
                            bytes.size(), nullptr),
                  BN_free);
}

QByteArray bytes(const BIGNUM *value, int size)
{
    QByteArray out(size, '\0');
    BN_bn2binpad(value, reinterpret_cast<unsigned char *>(out.data()), size);
    return out;
}

QByteArray field(const quint8 *data, int size)
{
    return QByteArray(reinterpret_cast<const char *>(data), size);
}

QByteArray randomBytes(QRandomGenerator &random, int n)
{
    QByteArray out(n, '\0');
    for (char &c : out)
        c = char(random.bounded(256));
    return out;
}

Pkey fromPem(const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
    Pkey key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr), EVP_PKEY_free);
    BIO_free(bio);
    return key;
}

QByteArray toPem(EVP_PKEY *key)
{
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const QByteArray pem(data, int(size));
    BIO_free(bio);
    return pem;
}

QByteArray freshPem()
{
    EVP_PKEY *key = EVP_RSA_gen(2048);
    const QByteArray pem = toPem(key);
    EVP_PKEY_free(key);
    return pem;
}

// One raw operation through the dispatch, as the signature code calls it.
QByteArray dispatch(quint8 mode, const void *key, const QByteArray &input, quint32 &status)
{
    QByteArray output(kRsaMaxLength, '\x5A');
    RsaParameters parameters{reinterpret_cast<const quint8 *>(input.constData()),
                             quint32(input.size()), reinterpret_cast<quint8 *>(output.data()), 0};
    rsaInit(2);
    status = rsaDispatch(kRsaTypeRaw, mode, &parameters, key);
    rsaFinal();
    return output;
}

// OpenSSL's raw private-key operation (no padding).
QByteArray opensslPrivate(EVP_PKEY *key, const QByteArray &input)
{
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                    EVP_PKEY_CTX_free);
    QByteArray out(kRsaMaxLength, '\0');
    size_t size = size_t(out.size());
    EVP_PKEY_decrypt_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING);
    EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &size,
                     reinterpret_cast<const unsigned char *>(input.constData()),
                     size_t(input.size()));
    return out;
}

} // namespace

class TestRsa : public QObject
{
    Q_OBJECT

private slots:
    void privateOperation_data()
    {
        QTest::addColumn<QByteArray>("pem");
        QByteArray dev;
        QString error;
        QVERIFY(pack::readFile(QStringLiteral(VARDEL_SIGNING_PRIVATE_KEY), dev, error));
        QTest::newRow("build key") << dev;
        QTest::newRow("fresh key 1") << freshPem();
        QTest::newRow("fresh key 2") << freshPem();
        // The same pair with the primes stored the other way round: loading reorders them.
        RsaPrivateKey k;
        QVERIFY(pack::privateKeyFromPem(dev, k, error));
        QTest::newRow("build key, q > p in the file") << pack::pemFromComponents(
            field(k.publicKey.modulus, 256), field(k.publicKey.exponent, 256),
            field(k.exponent, 256), field(k.prime[1], 128), field(k.prime[0], 128));
    }
    // The CRT result equals the textbook c^d mod n, OpenSSL's raw operation, and the public
    // operation gives c back.
    void privateOperation()
    {
        QFETCH(QByteArray, pem);
        RsaPrivateKey key;
        QString error;
        QVERIFY2(pack::privateKeyFromPem(pem, key, error), qPrintable(error));
        QVERIFY(std::memcmp(key.prime[0], key.prime[1], kRsaPrimeLength) > 0);
        const Pkey reference = fromPem(pem);
        QVERIFY(reference);

        const QByteArray n = field(key.publicKey.modulus, kRsaMaxLength);
        const Bignum nMinus1 = toBn(n);
        BN_sub_word(nMinus1.get(), 1);
        QList<QByteArray> inputs{
            QByteArray(256, '\0'), QByteArray(1, '\1'), bytes(nMinus1.get(), 256),
            QByteArray::fromHex("0001") + QByteArray(221, '\xFF') + QByteArray(33, '\x42')};
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int i = 0; i < 8; ++i) {
            QByteArray c = randomBytes(random, 256);
            c[0] = char(random.bounded(quint8(n[0])));
            inputs << c;
        }

        std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
        for (const QByteArray &c : inputs) {
            quint32 status = 1;
            const QByteArray result = dispatch(kRsaModePrivate, &key, c, status);
            QCOMPARE(status, kRsaOk);
            const Bignum textbook(BN_new(), BN_free);
            BN_mod_exp_simple(textbook.get(), toBn(c).get(), toBn(field(key.exponent, 256)).get(),
                              toBn(n).get(), ctx.get());
            QCOMPARE(result.toHex(), bytes(textbook.get(), 256).toHex());
            QCOMPARE(result.toHex(),
                     opensslPrivate(reference.get(), c.rightJustified(256, '\0')).toHex());
            QCOMPARE(dispatch(kRsaModePrivate, &key, c, status), result); // deterministic
            QCOMPARE(dispatch(kRsaModePublic, &key, result, status).toHex(),
                     c.rightJustified(256, '\0').toHex());
        }
    }

    void statuses()
    {
        const RsaPrivateKey &key = fixture::buildKey();
        const QByteArray n = field(key.publicKey.modulus, kRsaMaxLength);
        quint32 status = 0;
        // Not below n: refused, the output untouched.
        for (const QByteArray &input :
             {n, QByteArray(256, '\xFF'), QByteArray(1, '\1') + QByteArray(300, '\0')}) {
            QCOMPARE(dispatch(kRsaModePrivate, &key, input, status), QByteArray(256, '\x5A'));
            QCOMPARE(status, kRsaDataError);
            QCOMPARE(dispatch(kRsaModePublic, &key, input, status), QByteArray(256, '\x5A'));
            QCOMPARE(status, kRsaDataError);
        }
        // Leading zero bytes beyond the digits are only a longer spelling of the same number.
        const QByteArray one = QByteArray(299, '\0') + '\1';
        QCOMPARE(dispatch(kRsaModePrivate, &key, one, status), QByteArray(255, '\0') + '\1');
        QCOMPARE(status, kRsaOk);

        // Dispatch only between rsaInit(2) and rsaFinal(); rsaInit refuses any other level.
        QByteArray out(256, '\0');
        RsaParameters p{reinterpret_cast<const quint8 *>(one.constData()), 256,
                        reinterpret_cast<quint8 *>(out.data()), 0};
        QCOMPARE(rsaFinal(), kRsaOk);
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaNotInitialised);
        QCOMPARE(rsaInit(3), kRsaFailure);
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaNotInitialised);
        QCOMPARE(rsaInit(2), kRsaOk);
        QCOMPARE(rsaInit(0), kRsaFailure);
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaOk);
        QCOMPARE(p.outputLength, 256u);
        QCOMPARE(rsaDispatch(18, 3, &p, &key), kRsaFailure);
        QCOMPARE(rsaDispatch(20, 4, &p, &key), kRsaFailure);
        QCOMPARE(rsaFinal(), kRsaOk);
        QCOMPARE(rsaDispatch(20, 2, &p, &key), kRsaNotInitialised);

        // A record claiming more than 2048 bits is refused.
        RsaPrivateKey wide = key;
        wide.publicKey.bits = 4096;
        dispatch(kRsaModePrivate, &wide, one, status);
        QCOMPARE(status, kRsaLengthError);
    }

    void modExpAgainstOpenSsl_data()
    {
        QTest::addColumn<int>("digits");
        QTest::addColumn<QString>("pattern");
        for (int digits : {1, 2, 3, 16, 32, 33, 64, 65})
            for (const char *pattern : {"random", "all ones", "top digit 1", "top bit only"})
                QTest::addRow("%d digits, %s", digits, pattern)
                    << digits << QString::fromLatin1(pattern);
    }
    // The long division and the windowed exponentiation on moduli that stress the quotient
    // estimate: all-ones digits, a top digit of 1 (31-bit normalisation), 2^k.
    void modExpAgainstOpenSsl()
    {
        QFETCH(int, digits);
        QFETCH(QString, pattern);
        QRandomGenerator random(quint32(digits * 131 + pattern.size()));
        std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
        for (int round = 0; round < 8; ++round) {
            QByteArray m = randomBytes(random, digits * 4);
            if (pattern == QLatin1String("all ones"))
                m.fill('\xFF');
            else if (pattern == QLatin1String("top digit 1"))
                m.replace(0, 4, QByteArray::fromHex("00000001"));
            else if (pattern == QLatin1String("top bit only"))
                m = QByteArray(1, '\x80') + QByteArray(digits * 4 - 1, '\0');
            if (m[0] == '\0' && pattern != QLatin1String("top digit 1"))
                m[0] = '\1';
            const QByteArray b =
                round == 0 ? QByteArray(digits * 4, '\xFF') : randomBytes(random, digits * 4);
            const QByteArray e = round == 1 ? QByteArray(8, '\xFF')
                                            : randomBytes(random, 1 + int(random.bounded(12)));

            bn::Digit dm[bn::kMaxDigits], db[bn::kMaxDigits], de[bn::kMaxDigits],
                dr[bn::kMaxDigits];
            QVERIFY(bn::decode(dm, bn::kMaxDigits, reinterpret_cast<const quint8 *>(m.constData()),
                               quint32(m.size())));
            QVERIFY(bn::decode(db, bn::kMaxDigits, reinterpret_cast<const quint8 *>(b.constData()),
                               quint32(b.size())));
            QVERIFY(bn::decode(de, bn::kMaxDigits, reinterpret_cast<const quint8 *>(e.constData()),
                               quint32(e.size())));
            bn::modExp(dr, db, de, bn::kMaxDigits, dm, digits);
            QByteArray ours(digits * 4, '\0');
            bn::encode(reinterpret_cast<quint8 *>(ours.data()), quint32(ours.size()), dr, digits);

            const Bignum expected(BN_new(), BN_free);
            BN_mod_exp(expected.get(), toBn(b).get(), toBn(e).get(), toBn(m).get(), ctx.get());
            QCOMPARE(ours.toHex(), bytes(expected.get(), digits * 4).toHex());
        }
    }
};

QTEST_GUILESS_MAIN(TestRsa)
#include "tst_rsa.moc"
