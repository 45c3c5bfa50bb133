// Certificates for the tests, made with the openssl tool in a private
// directory of their own, removed with it: a CA "ca" from the start, more CAs
// and leaf certificates on demand. Keys are P-256, readable by their owner
// only.
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
    char dir[] = "/tmp/vorkand-pki-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    ok_ = true;
    ca("ca");
  }
  ~TestPki() {
    if (!dir_.empty()) run("rm -rf " + dir_);
  }
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  // False once any certificate could not be made.
  bool ok() const { return ok_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }

  // NAME.crt and NAME.key for the common name `cn`, signed by the CA `by`,
  // with the subjectAltName `san` (none when empty), valid for `days` (-1:
  // until a day before it was made).
  bool leaf(const std::string& name, const std::string& cn, const std::string& san = "",
            const std::string& by = "ca", int days = 2) {
    std::string extension;
    if (!san.empty()) {
      std::ofstream(file(name + ".ext")) << "subjectAltName=" << san << "\n";
      extension = " -extfile " + file(name + ".ext");
    }
    return step(run("openssl req " + new_key(file(name + ".key")) + " -out " + file(name + ".csr") +
                    " -subj '/CN=" + cn + "' && openssl x509 -req -in " + file(name + ".csr") +
                    " -CA " + file(by + ".crt") + " -CAkey " + file(by + ".key") +
                    " -CAcreateserial -days " + std::to_string(days) + " -out " +
                    file(name + ".crt") + extension + " && chmod 600 " + file(name + ".key")));
  }
  // A self-signed CA, NAME.crt and NAME.key.
  bool ca(const std::string& name) {
    return step(run("openssl req -x509 " + new_key(file(name + ".key")) + " -out " +
                    file(name + ".crt") + " -subj '/CN=vorkand test " + name + "' -days 2"));
  }

  // ser2net's ssl layer with the certificate NAME.crt and its key.
  std::string ssl(const std::string& name, bool clientauth = false) const {
    return "ssl(key=" + file(name + ".key") + ",cert=" + file(name + ".crt") +
           (clientauth ? ",clientauth" : "") + ")";
  }
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

 protected:
  static bool run(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
  }
  bool step(bool done) {
    ok_ = ok_ && done;
    return done;
  }

 private:
  static std::string new_key(const std::string& key) {
    return "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + key;
  }

  std::string dir_;
  bool ok_ = false;
};

}  // namespace vorkand::test
