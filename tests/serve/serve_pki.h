// Certificates for the tests, made with the openssl tool in a directory of
// their own: a CA with a server certificate for 127.0.0.1 and localhost and
// two client certificates, and another CA with a client of its own.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace vorkand::test {

class TestPki {
 public:
  TestPki() {
    char dir[] = "/tmp/vorkand-serve-pki-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    std::ofstream(file("san.ext")) << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    ok_ = ca("ca") && ca("other-ca") && signed_by("ca", "server", "localhost", "san.ext") &&
          signed_by("ca", "client", "desk host", "") &&
          signed_by("ca", "second", "rack host", "") &&
          signed_by("other-ca", "stranger", "desk host", "");
  }
  ~TestPki() {
    if (!dir_.empty()) run("rm -rf " + dir_);
  }
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  bool ok() const { return ok_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  // The SHA-256 fingerprint of NAME.crt as the openssl tool prints it.
  std::string fingerprint(const std::string& name) const {
    std::string out;
    if (FILE* pipe = ::popen(
            ("openssl x509 -noout -fingerprint -sha256 -in " + file(name + ".crt")).c_str(), "r")) {
      std::array<char, 256> line{};
      if (std::fgets(line.data(), line.size(), pipe) != nullptr) out = line.data();
      ::pclose(pipe);
    }
    const auto equals = out.find('=');
    return equals == std::string::npos ? "" : out.substr(equals + 1, 95);
  }

 private:
  static bool run(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
  }
  static std::string new_key(const std::string& key) {
    return "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + key;
  }
  bool ca(const std::string& name) {
    return run("openssl req -x509 " + new_key(file(name + ".key")) + " -out " +
               file(name + ".crt") + " -subj '/CN=vorkand test " + name + "' -days 2");
  }
  bool signed_by(const std::string& ca, const std::string& name, const std::string& cn,
                 const std::string& ext) {
    return run("openssl req " + new_key(file(name + ".key")) + " -out " + file(name + ".csr") +
               " -subj '/CN=" + cn + "' && openssl x509 -req -in " + file(name + ".csr") + " -CA " +
               file(ca + ".crt") + " -CAkey " + file(ca + ".key") +
               " -CAcreateserial -days 2 -out " + file(name + ".crt") +
               (ext.empty() ? "" : " -extfile " + file(ext)) + " && chmod 600 " +
               file(name + ".key"));
  }

  std::string dir_;
  bool ok_ = false;
};

}  // namespace vorkand::test
