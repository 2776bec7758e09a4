#include "crypto/bignum.h"
#include "crypto/rsa.h"
#include "pack.h"
#include "packagefixture.h"

#include <QRandomGenerator>
#include <QTest>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>

namespace {

using Bignum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

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

// OpenSSL's raw private-key operation (no padding) with the key of a PEM text.
QByteArray opensslPrivate(const QByteArray &pem, const QByteArray &input)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
    EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    QByteArray out(kRsaMaxLength, '\0');
    size_t size = size_t(out.size());
    EVP_PKEY_decrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char *>(out.data()), &size,
                     reinterpret_cast<const unsigned char *>(input.constData()), input.size());
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    BIO_free(bio);
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
        const RsaPrivateKey &k = fixture::buildKey();
        QTest::newRow("build key") << fixture::buildKeyPem();
        QTest::newRow("fresh key") << fixture::freshPem();
        // The same pair with the primes stored the other way round: loading reorders them.
        QTest::newRow("build key, q > p in the file") << pack::pemFromComponents(
            field(k.publicKey.modulus, 256), field(k.publicKey.exponent, 256),
            field(k.exponent, 256), field(k.prime[1], 128), field(k.prime[0], 128));
    }
    // The CRT result equals the textbook c^d mod n and OpenSSL's raw operation, is the same
    // every time, and the public operation gives c back.
    void privateOperation()
    {
        QFETCH(QByteArray, pem);
        const RsaPrivateKey key = fixture::keyFromPem(pem);
        QVERIFY(std::memcmp(key.prime[0], key.prime[1], kRsaPrimeLength) > 0);
        const QByteArray n = field(key.publicKey.modulus, kRsaMaxLength);
        const Bignum nMinus1 = toBn(n);
        BN_sub_word(nMinus1.get(), 1);
        QList<QByteArray> inputs{QByteArray(256, '\0'), QByteArray(1, '\1'),
                                 bytes(nMinus1.get(), 256),
                                 QByteArray::fromHex("0001") + QByteArray(254, '\xFF')};
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int i = 0; i < 8; ++i)
            inputs << char(random.bounded(quint8(n[0]))) + randomBytes(random, 255);

        std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
        const Bignum textbook(BN_new(), BN_free);
        for (const QByteArray &c : inputs) {
            quint32 status = 1;
            const QByteArray result = dispatch(kRsaModePrivate, &key, c, status);
            QCOMPARE(status, kRsaOk);
            BN_mod_exp_simple(textbook.get(), toBn(c).get(), toBn(field(key.exponent, 256)).get(),
                              toBn(n).get(), ctx.get());
            QCOMPARE(result.toHex(), bytes(textbook.get(), 256).toHex());
            QCOMPARE(result.toHex(), opensslPrivate(pem, c.rightJustified(256, '\0')).toHex());
            QCOMPARE(dispatch(kRsaModePrivate, &key, c, status), result);
            QCOMPARE(dispatch(kRsaModePublic, &key, result, status).toHex(),
                     c.rightJustified(256, '\0').toHex());
        }
    }

    void statuses()
    {
        const RsaPrivateKey &key = fixture::buildKey();
        const QByteArray n = field(key.publicKey.modulus, kRsaMaxLength);
        quint32 status = 0;
        // Not below n: refused, the output untouched. Leading zeros are only a longer spelling.
        for (const QByteArray &input :
             {n, QByteArray(256, '\xFF'), QByteArray(1, '\1') + QByteArray(300, '\0')}) {
            for (quint8 mode : {kRsaModePrivate, kRsaModePublic}) {
                QCOMPARE(dispatch(mode, &key, input, status), QByteArray(256, '\x5A'));
                QCOMPARE(status, kRsaDataError);
            }
        }
        const QByteArray one = QByteArray(299, '\0') + '\1';
        QCOMPARE(dispatch(kRsaModePrivate, &key, one, status), QByteArray(255, '\0') + '\1');

        // Dispatch only between rsaInit(2) and rsaFinal(); rsaInit refuses any other level.
        QByteArray out(256, '\0');
        RsaParameters p{reinterpret_cast<const quint8 *>(one.constData()), 256,
                        reinterpret_cast<quint8 *>(out.data()), 0};
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaNotInitialised);
        QCOMPARE(rsaInit(3), kRsaFailure);
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaNotInitialised);
        QCOMPARE(rsaInit(2), kRsaOk);
        QCOMPARE(rsaInit(0), kRsaFailure);
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaOk);
        QCOMPARE(p.outputLength, 256u);
        QCOMPARE(rsaDispatch(18, 3, &p, &key), kRsaFailure);
        QCOMPARE(rsaFinal(), kRsaOk);
        QCOMPARE(rsaDispatch(20, 2, &p, &key), kRsaNotInitialised);
        QCOMPARE(rsaFinal(), kRsaOk);

        RsaPrivateKey wide = key; // more than 2048 bits
        wide.publicKey.bits = 4096;
        dispatch(kRsaModePrivate, &wide, one, status);
        QCOMPARE(status, kRsaLengthError);
    }

    void modExp_data()
    {
        QTest::addColumn<int>("digits");
        QTest::addColumn<QByteArray>("top"); // the modulus's top digit; empty: random
        for (int digits : {1, 2, 33, 65}) {
            QTest::addRow("%d digits, random", digits) << digits << QByteArray();
            QTest::addRow("%d digits, all ones", digits) << digits << QByteArray("ffffffff");
            QTest::addRow("%d digits, top 1", digits) << digits << QByteArray("00000001");
            QTest::addRow("%d digits, top bit", digits) << digits << QByteArray("80000000");
        }
    }
    // The long division on moduli that stress the quotient estimate and every normalisation
    // shift (RSA-2048 moduli and primes always have their top bit set), against OpenSSL.
    void modExp()
    {
        QFETCH(int, digits);
        QFETCH(QByteArray, top);
        QRandomGenerator random(quint32(digits) * 131 + quint32(top.size() + top.count('f')));
        std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
        const Bignum expected(BN_new(), BN_free);
        for (int round = 0; round < 8; ++round) {
            QByteArray m = randomBytes(random, digits * 4);
            m.replace(0, 4,
                      top.isEmpty() ? QByteArray("\x7f\x12\x34\x56") : QByteArray::fromHex(top));
            if (top == "ffffffff")
                m.fill('\xFF');
            const QByteArray b =
                round == 0 ? QByteArray(digits * 4, '\xFF') : randomBytes(random, digits * 4);
            const QByteArray e = randomBytes(random, 1 + int(random.bounded(12)));
            bn::Digit dm[bn::kMaxDigits], db[bn::kMaxDigits], de[bn::kMaxDigits],
                dr[bn::kMaxDigits];
            for (const auto &[to, from] :
                 {std::pair<bn::Digit *, const QByteArray *>{dm, &m}, {db, &b}, {de, &e}})
                QVERIFY(bn::decode(to, bn::kMaxDigits,
                                   reinterpret_cast<const quint8 *>(from->constData()),
                                   quint32(from->size())));
            bn::modExp(dr, db, de, bn::kMaxDigits, dm, digits);
            QByteArray ours(digits * 4, '\0');
            bn::encode(reinterpret_cast<quint8 *>(ours.data()), quint32(ours.size()), dr, digits);
            BN_mod_exp(expected.get(), toBn(b).get(), toBn(e).get(), toBn(m).get(), ctx.get());
            QCOMPARE(ours.toHex(), bytes(expected.get(), digits * 4).toHex());
        }
    }
};

QTEST_GUILESS_MAIN(TestRsa)
#include "tst_rsa.moc"
