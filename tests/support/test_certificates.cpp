#include "support/test_certificates.h"

#include <cstdlib>
#include <fstream>

namespace quorvel::test {

namespace {

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A key and a certificate for `names` (subjectAltName syntax), signed by the CA or self-signed.
bool makeServer(const std::string& dir, const std::string& name, const std::string& names, bool byCa) {
    const std::string key = dir + "/" + name + ".key";
    const std::string cert = dir + "/" + name + ".pem";
    const std::string extensions = dir + "/" + name + ".ext";
    std::ofstream(extensions) << "subjectAltName=" << names << "\nbasicConstraints=CA:FALSE\n";
    if (!byCa)
        return run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=" + name +
                   " -addext subjectAltName=" + names + " -keyout " + key + " -out " + cert);
    return run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + name + " -keyout " +
               key + " -out " + dir + "/" + name + ".csr") &&
           run("openssl x509 -req -in " + dir + "/" + name + ".csr -CA " + dir + "/ca.pem -CAkey " + dir +
               "/ca.key -CAcreateserial -days 2 -extfile " + extensions + " -out " + cert);
}

}  // namespace

TestCertificates::TestCertificates() {
    dir = directory.path().string();
    caFile = dir + "/ca.pem";
    serverCert = dir + "/server.pem";
    serverKey = dir + "/server.key";
    otherHostCert = dir + "/other.pem";
    otherHostKey = dir + "/other.key";
    selfSignedCert = dir + "/self.pem";
    selfSignedKey = dir + "/self.key";
    ok = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=Quorvel-Test-CA"
             " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -keyout " +
             dir + "/ca.key -out " + caFile) &&
         makeServer(dir, "server", "DNS:localhost,IP:127.0.0.1", true) &&
         makeServer(dir, "other", "DNS:other.example", true) &&
         makeServer(dir, "self", "DNS:localhost,IP:127.0.0.1", false);
}

}  // namespace quorvel::test
