#pragma once

#include <string>

#include "support/temp_dir.h"

namespace quorvel::test {

// Certificates made for one test run in a fresh temporary directory (removed by the
// destructor), with the openssl command: a private CA, server certificates it signed,
// and a self-signed one. Every server certificate names localhost and 127.0.0.1 unless
// said otherwise.
struct TestCertificates {
    TestCertificates();

    TempDir directory{"quorvel-certs"};
    bool ok = false;  // every file was made
    std::string dir;
    std::string caFile;
    std::string serverCert, serverKey;            // signed by the CA
    std::string otherHostCert, otherHostKey;      // signed by the CA, for other.example only
    std::string selfSignedCert, selfSignedKey;
};

}  // namespace quorvel::test
