// Certificates made at test time with the openssl command.
#pragma once

#include <cstdlib>
#include <string>

#include "tests/core/core_test_support.h"

namespace core_test {

// A CA and a server certificate it signed for 127.0.0.1 and localhost, an
// unrelated CA, and a key that belongs to no certificate.
struct TestCerts {
  ScratchDir dir;
  std::string ca = dir.file("ca.pem"), other_ca = dir.file("other-ca.pem");
  std::string cert = dir.file("server.pem"), key = dir.file("server.key"), stray_key = dir.file("stray.key");
  bool made = false;

  TestCerts() {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2";
    std::string script = "cd '" + dir.path() + "' && " +
                         "openssl req -x509" + ec + " -keyout ca.key -out ca.pem -subj /CN=test-ca && " +
                         "openssl req -x509" + ec + " -keyout other.key -out other-ca.pem -subj /CN=other-ca && " +
                         "openssl req" + ec + " -keyout server.key -out server.csr -subj /CN=localhost && " +
                         "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ext && " +
                         "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
                         " -extfile ext -out server.pem && "
                         "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out stray.key";
    made = std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
  }
};

}  // namespace core_test
