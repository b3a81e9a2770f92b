#include "test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace testsrv {

namespace {

std::string PemOf(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return text;
}

std::string PemOf(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return text;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) throw std::runtime_error("test certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// issuer null: self-signed.
X509* MakeCertificate(EVP_PKEY* key, const char* commonName, const char* altNames, X509* issuer,
                      EVP_PKEY* issuerKey, bool authority, long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 2L * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("qiv tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    AddExtension(cert, signer, NID_subject_key_identifier, "hash");
    if (authority) {
        AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert, signer, NID_basic_constraints, "CA:FALSE");
        AddExtension(cert, signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert, signer, NID_subject_alt_name, altNames);
    }
    if (issuer != nullptr) AddExtension(cert, signer, NID_authority_key_identifier, "keyid");
    X509_sign(cert, issuerKey != nullptr ? issuerKey : key, EVP_sha256());
    return cert;
}

TestPki Make() {
    TestPki pki;
    EVP_PKEY* caKey = EVP_EC_gen("P-256");
    X509* ca = MakeCertificate(caKey, "qiv test authority", nullptr, nullptr, nullptr, true, 1);
    pki.authority = {PemOf(ca), PemOf(caKey)};

    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* server =
        MakeCertificate(key, "localhost", "DNS:localhost,IP:127.0.0.1,IP:::1", ca, caKey, false, 2);
    pki.server = {PemOf(server), PemOf(key)};
    X509* other =
        MakeCertificate(key, "news.other.test", "DNS:news.other.test", ca, caKey, false, 3);
    pki.other = {PemOf(other), PemOf(key)};
    X509* self =
        MakeCertificate(key, "localhost", "DNS:localhost,IP:127.0.0.1", nullptr, nullptr, false, 4);
    pki.selfSigned = {PemOf(self), PemOf(key)};

    for (X509* c : {ca, server, other, self}) X509_free(c);
    EVP_PKEY_free(key);
    EVP_PKEY_free(caKey);
    return pki;
}

}  // namespace

const TestPki& TestCertificates() {
    static const TestPki pki = Make();
    return pki;
}

std::string CertificateFingerprint(const std::string& certPem) {
    BIO* bio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (cert == nullptr) return std::string();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    X509_digest(cert, EVP_sha256(), digest, &size);
    X509_free(cert);
    std::string text;
    char hex[4];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
        text += hex;
    }
    return text;
}

}  // namespace testsrv
