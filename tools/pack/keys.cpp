#include "pack.h"

#include "crypto/keys.h"

#include <QDir>
#include <QFileInfo>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace pack {

const QString kPackageKeyFile = QStringLiteral("package.key");
const QString kSigningModulusFile = QStringLiteral("signing-modulus.hex");
const QString kSigningPrivateFile = QStringLiteral("signing-private.pem");

namespace {

using Bignum = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

Bignum bignum(BIGNUM *b = BN_new())
{
    return Bignum(b, BN_clear_free);
}

Bignum fromBytes(const QByteArray &bytes)
{
    return bignum(BN_bin2bn(reinterpret_cast<const unsigned char *>(bytes.constData()),
                            bytes.size(), nullptr));
}

Bignum parameter(const EVP_PKEY *pkey, const char *name)
{
    BIGNUM *value = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &value);
    return bignum(value);
}

bool toField(const BIGNUM *value, quint8 *field, int size)
{
    return BN_bn2binpad(value, field, size) == size;
}

// The RSA values with p > q and the CRT values that go with that order.
struct Components
{
    Bignum n = bignum(), e = bignum(), d = bignum(), p = bignum(), q = bignum();
    Bignum dP = bignum(), dQ = bignum(), qInv = bignum();
};

// dP, dQ and qInv for the primes in their present order, after checking n = p * q.
bool completeCrt(Components &c, QString &error)
{
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    Bignum product = bignum(), pMinus1 = bignum(), qMinus1 = bignum();
    const bool ok = ctx && product && pMinus1 && qMinus1 && c.dP && c.dQ && c.qInv &&
                    BN_mul(product.get(), c.p.get(), c.q.get(), ctx.get()) &&
                    BN_cmp(product.get(), c.n.get()) == 0 &&
                    BN_sub(pMinus1.get(), c.p.get(), BN_value_one()) &&
                    BN_sub(qMinus1.get(), c.q.get(), BN_value_one()) &&
                    BN_mod(c.dP.get(), c.d.get(), pMinus1.get(), ctx.get()) &&
                    BN_mod(c.dQ.get(), c.d.get(), qMinus1.get(), ctx.get()) &&
                    BN_mod_inverse(c.qInv.get(), c.q.get(), c.p.get(), ctx.get());
    if (!ok)
        error = QStringLiteral("inconsistent RSA key (n is not p * q, or q has no inverse mod p)");
    return ok;
}

bool componentsOf(const EVP_PKEY *pkey, Components &c, QString &error)
{
    if (!EVP_PKEY_is_a(pkey, "RSA")) {
        error = QStringLiteral("not an RSA key");
        return false;
    }
    c.n = parameter(pkey, OSSL_PKEY_PARAM_RSA_N);
    c.e = parameter(pkey, OSSL_PKEY_PARAM_RSA_E);
    c.d = parameter(pkey, OSSL_PKEY_PARAM_RSA_D);
    c.p = parameter(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1);
    c.q = parameter(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2);
    if (!c.n || !c.e || !c.d || !c.p || !c.q) {
        error = QStringLiteral("not an RSA private key with its two primes");
        return false;
    }
    if (BN_num_bits(c.n.get()) != kRsaMaxBits || !BN_is_word(c.e.get(), keys::kSigningExponent)) {
        error = QStringLiteral("the key must be RSA-2048 with public exponent 65537");
        return false;
    }
    // The library sizes both half exponentiations by p: p must be the larger prime.
    if (BN_cmp(c.p.get(), c.q.get()) < 0)
        std::swap(c.p, c.q);
    return completeCrt(c, error);
}

bool toRecord(const Components &c, RsaPrivateKey &key)
{
    std::memset(&key, 0, sizeof key);
    key.publicKey.bits = quint16(BN_num_bits(c.n.get()));
    return toField(c.n.get(), key.publicKey.modulus, kRsaMaxLength) &&
           toField(c.e.get(), key.publicKey.exponent, kRsaMaxLength) &&
           toField(c.d.get(), key.exponent, kRsaMaxLength) &&
           toField(c.p.get(), key.prime[0], kRsaPrimeLength) &&
           toField(c.q.get(), key.prime[1], kRsaPrimeLength) &&
           toField(c.dP.get(), key.primeExponent[0], kRsaPrimeLength) &&
           toField(c.dQ.get(), key.primeExponent[1], kRsaPrimeLength) &&
           toField(c.qInv.get(), key.coefficient, kRsaPrimeLength);
}

// An EVP_PKEY holding exactly the values of `c`, CRT values included.
Pkey keyFromValues(const Components &c)
{
    Pkey result(nullptr, EVP_PKEY_free);
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(),
                                                                          OSSL_PARAM_BLD_free);
    const bool ok =
        build && OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, c.n.get()) &&
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, c.e.get()) &&
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_D, c.d.get()) &&
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, c.p.get()) &&
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, c.q.get()) &&
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, c.dP.get()) &&
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, c.dQ.get()) &&
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, c.qInv.get());
    if (!ok)
        return result;
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(build.get());
    PkeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY *pkey = nullptr;
    if (params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1)
        EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_KEYPAIR, params);
    OSSL_PARAM_free(params);
    result.reset(pkey);
    return result;
}

QByteArray toPem(const EVP_PKEY *pkey)
{
    Bio bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return QByteArray();
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(size));
}

QByteArray hexLines(const QByteArray &bytes)
{
    const QByteArray hex = bytes.toHex();
    QByteArray out;
    for (int i = 0; i < hex.size(); i += 64)
        out += hex.mid(i, 64) + '\n';
    return out;
}

} // namespace

bool privateKeyFromPem(const QByteArray &pem, RsaPrivateKey &key, QString &error)
{
    Bio bio(BIO_new_mem_buf(pem.constData(), pem.size()), BIO_free);
    Pkey pkey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr,
              EVP_PKEY_free);
    if (!pkey) {
        error = QStringLiteral("not a PEM private key (or one protected by a pass phrase)");
        return false;
    }
    Components c;
    if (!componentsOf(pkey.get(), c, error))
        return false;
    if (!toRecord(c, key)) {
        error = QStringLiteral("the key's values do not fit the RSA-2048 record");
        return false;
    }
    return true;
}

QByteArray pemFromComponents(const QByteArray &n, const QByteArray &e, const QByteArray &d,
                             const QByteArray &p, const QByteArray &q)
{
    Components c;
    c.n = fromBytes(n);
    c.e = fromBytes(e);
    c.d = fromBytes(d);
    c.p = fromBytes(p);
    c.q = fromBytes(q);
    QString error;
    if (!c.n || !c.e || !c.d || !c.p || !c.q || !completeCrt(c, error))
        return QByteArray();
    const Pkey pkey = keyFromValues(c);
    return pkey ? toPem(pkey.get()) : QByteArray();
}

bool isBuiltInKey(const RsaPrivateKey &key)
{
    return std::memcmp(key.publicKey.modulus, keys::kSigningModulus.data(), kRsaMaxLength) == 0;
}

bool generateKeys(const QString &dir, QString &error)
{
    const QStringList names{kPackageKeyFile, kSigningModulusFile, kSigningPrivateFile};
    for (const QString &name : names) {
        const QFileInfo existing(QDir(dir).filePath(name));
        if (existing.exists() || existing.isSymLink()) { // a dangling link is there too
            error = QStringLiteral("%1 already exists: keygen never overwrites a key")
                        .arg(QDir(dir).filePath(name));
            return false;
        }
    }
    // A folder made here holds private keys: its owner's alone (0700), whatever the umask.
    const bool madeDir = !QFileInfo::exists(dir);
    if (madeDir) {
        const QByteArray name = QFile::encodeName(QDir::cleanPath(dir));
        const QString parent = QFileInfo(QDir::cleanPath(dir)).path();
        if (!QDir().mkpath(parent) || ::mkdir(name.constData(), 0700) != 0 ||
            ::chmod(name.constData(), 0700) != 0) {
            error = QStringLiteral("cannot create the directory %1: %2")
                        .arg(dir, qt_error_string(errno));
            return false;
        }
    } else if (!QFileInfo(dir).isDir()) {
        error = QStringLiteral("cannot create the directory %1: a file bears its name").arg(dir);
        return false;
    }
    // On a failure, the directory goes again if keygen made it (and it is still empty).
    struct Undo
    {
        QString dir;
        bool active;
        ~Undo()
        {
            if (active)
                QDir().rmdir(dir);
        }
    } undo{dir, madeDir};

    // The RSA-2048 pair, rebuilt with p the larger prime and its CRT values.
    PkeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    Bignum e = bignum();
    EVP_PKEY *generated = nullptr;
    if (!ctx || !e || !BN_set_word(e.get(), keys::kSigningExponent) ||
        EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaMaxBits) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1 ||
        EVP_PKEY_generate(ctx.get(), &generated) != 1) {
        error = QStringLiteral("RSA key generation failed");
        return false;
    }
    const Pkey pair(generated, EVP_PKEY_free);
    Components c;
    if (!componentsOf(pair.get(), c, error))
        return false;
    const Pkey ordered = keyFromValues(c);
    const QByteArray pem = ordered ? toPem(ordered.get()) : QByteArray();

    QByteArray modulus(kRsaMaxLength, '\0');
    QByteArray packageKey(16, '\0');
    if (pem.isEmpty() ||
        !toField(c.n.get(), reinterpret_cast<quint8 *>(modulus.data()), kRsaMaxLength) ||
        RAND_bytes(reinterpret_cast<unsigned char *>(packageKey.data()), packageKey.size()) != 1) {
        error = QStringLiteral("key generation failed");
        return false;
    }

    // Write all three or none, readable by their owner only.
    const QByteArray contents[] = {packageKey.toHex() + '\n', hexLines(modulus), pem};
    for (int i = 0; i < names.size(); ++i) {
        if (!writeFile(QDir(dir).filePath(names[i]), contents[i], error, true, false)) {
            for (int j = 0; j < i; ++j)
                QFile::remove(QDir(dir).filePath(names[j]));
            return false;
        }
    }
    undo.active = false;
    return true;
}

} // namespace pack
