// Certificates made when the tests run, so that none kept in the tree can
// expire: a test authority, server certificates it signed and a self-signed
// one. Each is valid from an hour ago for two days.
#pragma once

#include <string>

namespace testsrv {

struct KeyPair {
    std::string certPem;  // the certificate (PEM)
    std::string keyPem;   // its private key (PEM)
};

struct TestPki {
    KeyPair authority;   // the test CA
    KeyPair server;      // localhost, 127.0.0.1 and ::1, signed by the CA
    KeyPair other;       // news.other.test only, signed by the CA
    KeyPair selfSigned;  // localhost and 127.0.0.1, signed by itself
};

// Made once per process.
const TestPki& TestCertificates();

// SHA-256 of a PEM certificate as "AB:CD:...", the form a user copies.
std::string CertificateFingerprint(const std::string& certPem);

}  // namespace testsrv
