// The certificates of the serving tests: a server for 127.0.0.1 and
// localhost and two clients signed by one CA, and a client of another CA.
#pragma once

#include <string>
#include <vector>

#include "test_pki.h"

namespace vorkand::test {

struct ServePki : TestPki {
  ServePki() {
    ca("other-ca");
    leaf("server", "localhost", "IP:127.0.0.1,DNS:localhost");
    leaf("client", "desk host");
    leaf("second", "rack host");
    leaf("stranger", "desk host", "", "other-ca");
  }
};

// `arguments` and the server's TLS files.
inline std::vector<std::string> with_tls(const ServePki& pki, std::vector<std::string> arguments) {
  for (const std::string& a :
       {std::string("--cert"), pki.file("server.crt"), std::string("--key"), pki.file("server.key"),
        std::string("--client-ca"), pki.file("ca.crt")})
    arguments.push_back(a);
  return arguments;
}

}  // namespace vorkand::test
