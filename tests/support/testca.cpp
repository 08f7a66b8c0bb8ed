#include "testca.h"

#include <QDir>
#include <QFile>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

namespace {

constexpr long kDay = 24 * 60 * 60;

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free_all(b); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

[[noreturn]] void fail(const std::string& what)
{
    std::string text = "test CA: " + what;
    if (const unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text += ": ";
        text += buf;
    }
    ERR_clear_error();
    throw std::runtime_error(text);
}

Key newKey()
{
    Key key(EVP_EC_gen("P-256"));
    if (!key)
        fail("key generation failed");
    return key;
}

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value)
{
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext || !X509_add_ext(cert, ext, -1)) {
        X509_EXTENSION_free(ext);
        fail(std::string("cannot add extension ") + OBJ_nid2sn(nid) + " = " + value);
    }
    X509_EXTENSION_free(ext);
}

struct CertRequest {
    const char* commonName;
    bool ca = false;
    const char* subjectAltName = nullptr; // server certificates only
    long notBefore = -kDay; // seconds from now
    long notAfter = 365 * kDay;
};

// A certificate for key, signed by issuerKey under issuer's name, or
// self-signed when issuer is null.
Cert makeCertificate(const CertRequest& request, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey)
{
    Cert cert(X509_new());
    if (!cert || !X509_set_version(cert.get(), 2))
        fail("X509_new failed");

    // Random serials, so no two certificates of any run share issuer and serial.
    std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
    if (!serial || !BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY)
        || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
        fail("cannot set the serial number");

    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), request.notBefore)
        || !X509_gmtime_adj(X509_getm_notAfter(cert.get()), request.notAfter))
        fail("cannot set the validity");
    if (!X509_set_pubkey(cert.get(), key))
        fail("cannot set the public key");

    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* org = reinterpret_cast<const unsigned char*>("Brevglimt testsertifikater");
    const auto* cn = reinterpret_cast<const unsigned char*>(request.commonName);
    if (!X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, org, -1, -1, 0)
        || !X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0))
        fail("cannot set the subject");
    if (!X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name))
        fail("cannot set the issuer");

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
    if (request.ca) {
        addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth");
        if (request.subjectAltName)
            addExtension(cert.get(), &ctx, NID_subject_alt_name, request.subjectAltName);
    }

    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0)
        fail("signing failed");
    return cert;
}

std::unique_ptr<BIO, BioFree> openForWriting(const QString& path)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(QFile::encodeName(path).constData(), "w"));
    if (!bio)
        fail("cannot write " + path.toStdString());
    return bio;
}

void writeCertificates(const QString& path, const std::vector<X509*>& chain)
{
    auto bio = openForWriting(path);
    for (X509* c : chain) {
        if (!PEM_write_bio_X509(bio.get(), c))
            fail("cannot write " + path.toStdString());
    }
}

void writeKey(const QString& path, EVP_PKEY* key)
{
    auto bio = openForWriting(path);
    if (!PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
        fail("cannot write " + path.toStdString());
}

constexpr const char* kServerNames = "DNS:localhost,IP:127.0.0.1,IP:::1";

} // namespace

TestCa::TestCa()
    : m_dir(QDir::tempPath() + QStringLiteral("/brev-testca-XXXXXX"))
{
    if (!m_dir.isValid())
        throw std::runtime_error("test CA: cannot create a temporary folder: " + m_dir.errorString().toStdString());

    auto file = [this](const char* name) { return m_dir.filePath(QLatin1String(name)); };
    auto issue = [&](const char* name, const CertRequest& request, X509* issuer, EVP_PKEY* issuerKey,
                     std::vector<X509*> sentAlong = {}) {
        Key key = newKey();
        Cert cert = makeCertificate(request, key.get(), issuer, issuerKey);
        TestCertificate out{file(name) + QStringLiteral(".crt"), file(name) + QStringLiteral(".key")};
        sentAlong.insert(sentAlong.begin(), cert.get());
        writeCertificates(out.certificateFile, sentAlong);
        writeKey(out.keyFile, key.get());
        return out;
    };

    const Key rootKey = newKey();
    const Cert root = makeCertificate({"Brevglimt test-CA", true, nullptr, -kDay, 3650 * kDay}, rootKey.get(),
                                      nullptr, nullptr);
    m_caFile = file("ca.crt");
    writeCertificates(m_caFile, {root.get()});

    const Key otherRootKey = newKey();
    const Cert otherRoot = makeCertificate({"Ukjent test-CA", true, nullptr, -kDay, 3650 * kDay},
                                           otherRootKey.get(), nullptr, nullptr);

    m_good = issue("good", {"localhost", false, kServerNames}, root.get(), rootKey.get());
    m_expired = issue("expired", {"localhost", false, kServerNames, -30 * kDay, -kDay}, root.get(), rootKey.get());
    m_wrongName = issue("wrong-name", {"annen.example.no", false, "DNS:annen.example.no"}, root.get(), rootKey.get());
    m_unknownIssuer = issue("unknown-issuer", {"localhost", false, kServerNames}, otherRoot.get(), otherRootKey.get());
    m_unknownIssuerWithRoot = issue("unknown-issuer-chain", {"localhost", false, kServerNames}, otherRoot.get(),
                                    otherRootKey.get(), {otherRoot.get()});
    m_selfSigned = issue("self-signed", {"localhost", false, kServerNames}, nullptr, nullptr);
}

} // namespace testsupport
