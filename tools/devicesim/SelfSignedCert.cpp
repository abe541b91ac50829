#include "SelfSignedCert.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace devicesim {

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T *p) const { Free(p); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

QString lastOpenSslError(const char *what) {
    char buf[256] = {};
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    ERR_clear_error();
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLatin1(buf));
}

QByteArray bioContents(BIO *bio) {
    char *data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? QByteArray(data, static_cast<qsizetype>(len)) : QByteArray();
}

} // namespace

bool makeSelfSignedCert(PemPair *out, QString *error) {
    auto fail = [error](const char *what) {
        if (error)
            *error = lastOpenSslError(what);
        return false;
    };

    PKeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        return fail("EC key generation failed");

    X509Ptr cert(X509_new());
    if (!cert || !X509_set_version(cert.get(), 2))
        return fail("X509_new failed");

    // A random serial, so a restarted device does not reuse the old certificate's identity.
    BnPtr serial(BN_new());
    if (!serial || !BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
        return fail("serial number failed");

    // Backdated an hour so small clock differences do not make it "not yet valid".
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), 3650, 0, nullptr))
        return fail("validity failed");

    X509_NAME *name = X509_get_subject_name(cert.get());
    const auto *cn = reinterpret_cast<const unsigned char *>("WiiM");
    if (!X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) ||
        !X509_set_issuer_name(cert.get(), name) || !X509_set_pubkey(cert.get(), key.get()))
        return fail("subject failed");

    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return fail("signing failed");

    BioPtr certBio(BIO_new(BIO_s_mem()));
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    if (!certBio || !keyBio || !PEM_write_bio_X509(certBio.get(), cert.get()) ||
        !PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        return fail("PEM encoding failed");

    out->certificate = bioContents(certBio.get());
    out->privateKey = bioContents(keyBio.get());
    return true;
}

} // namespace devicesim
