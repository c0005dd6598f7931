#include "devservice/certificate_authority.h"

#include "foundation/atomic_file.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <memory>

namespace zarvo::devservice {
namespace {

template <class T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

Error failure(const std::string& what) {
    return Error{"certificate authority: " + what, 1};
}

KeyPtr newKey() {
    return KeyPtr(EVP_EC_gen("P-256"));
}

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

CertPtr newCertificate(EVP_PKEY* key, const std::string& commonName, long days) {
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Zarvo development"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return cert;
}

std::string pemOf(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, size);
}

std::string pemOf(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, size);
}

CertPtr readCertificate(const std::filesystem::path& path) {
    auto text = readFile(path);
    if (!text)
        return nullptr;
    BioPtr bio(BIO_new_mem_buf(text->data(), int(text->size())));
    return CertPtr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

KeyPtr readKey(const std::filesystem::path& path) {
    auto text = readFile(path);
    if (!text)
        return nullptr;
    BioPtr bio(BIO_new_mem_buf(text->data(), int(text->size())));
    return KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

Status<> writePrivate(const std::filesystem::path& path, const std::string& text) {
    return writeFileAtomically(path, text, 0600);
}

// Still usable: signed by the CA, valid for another day, and naming every host.
bool stillGood(const CertificateFiles& files, const std::vector<std::string>& hosts) {
    CertPtr ca = readCertificate(files.caCertificate);
    CertPtr cert = readCertificate(files.certificate);
    KeyPtr key = readKey(files.privateKey);
    if (!ca || !cert || !key || X509_check_private_key(cert.get(), key.get()) != 1)
        return false;
    KeyPtr caPublic(X509_get_pubkey(ca.get()));
    if (!caPublic || X509_verify(cert.get(), caPublic.get()) != 1)
        return false;
    time_t tomorrow = time(nullptr) + 24 * 3600;
    if (X509_cmp_time(X509_get0_notAfter(cert.get()), &tomorrow) <= 0 ||
        X509_cmp_time(X509_get0_notAfter(ca.get()), &tomorrow) <= 0)
        return false;
    for (const auto& host : hosts)
        if (X509_check_host(cert.get(), host.c_str(), host.size(), 0, nullptr) != 1)
            return false;
    return true;
}

} // namespace

Result<CertificateFiles> ensureCertificates(const std::filesystem::path& directory,
                                            const std::vector<std::string>& hosts) {
    CertificateFiles files{directory / "ca.pem", directory / "server.pem",
                           directory / "server-key.pem"};
    if (stillGood(files, hosts))
        return files;

    std::filesystem::path caKeyPath = directory / "ca-key.pem";
    CertPtr ca = readCertificate(files.caCertificate);
    KeyPtr caKey = readKey(caKeyPath);
    bool reuseCa = ca && caKey && X509_check_private_key(ca.get(), caKey.get()) == 1;
    if (reuseCa) {
        time_t inAMonth = time(nullptr) + 30 * 24 * 3600;
        reuseCa = X509_cmp_time(X509_get0_notAfter(ca.get()), &inAMonth) > 0;
    }
    if (!reuseCa) {
        caKey = newKey();
        if (!caKey)
            return unexpected(failure("cannot make a key"));
        ca = newCertificate(caKey.get(), "Zarvo development CA", 3650);
        X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
        if (!addExtension(ca.get(), ca.get(), NID_basic_constraints,
                          "critical,CA:TRUE,pathlen:0") ||
            !addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
            !addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") ||
            X509_sign(ca.get(), caKey.get(), EVP_sha256()) == 0)
            return unexpected(failure("cannot sign the CA certificate"));
        if (auto w = writePrivate(caKeyPath, pemOf(caKey.get())); !w)
            return unexpected(failure(w.error().message));
        if (auto w = writeFileAtomically(files.caCertificate, pemOf(ca.get())); !w)
            return unexpected(failure(w.error().message));
    }

    KeyPtr key = newKey();
    if (!key)
        return unexpected(failure("cannot make a key"));
    CertPtr cert = newCertificate(key.get(), hosts.empty() ? "localhost" : hosts.front(), 825);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get()));
    std::string names;
    for (const auto& host : hosts)
        names += (names.empty() ? "DNS:" : ",DNS:") + host;
    if (!addExtension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(cert.get(), ca.get(), NID_key_usage, "critical,digitalSignature") ||
        !addExtension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth") ||
        !addExtension(cert.get(), ca.get(), NID_subject_alt_name, names) ||
        X509_sign(cert.get(), caKey.get(), EVP_sha256()) == 0)
        return unexpected(failure("cannot sign the server certificate"));
    if (auto w = writePrivate(files.privateKey, pemOf(key.get())); !w)
        return unexpected(failure(w.error().message));
    if (auto w = writeFileAtomically(files.certificate, pemOf(cert.get())); !w)
        return unexpected(failure(w.error().message));
    return files;
}

} // namespace zarvo::devservice
