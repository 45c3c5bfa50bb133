// The certificates of the serving tests: a server for 127.0.0.1 and
// localhost and two clients signed by one CA, and a client of another CA.
#pragma once

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

}  // namespace vorkand::test
