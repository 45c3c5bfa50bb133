// A Windows host's view of vorkand.dll: loaded at run time with LoadLibrary,
// every function found by name and by ordinal, and called through the
// pointers it gets. The DLL's path comes in VORKAND_DLL.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdlib>

#include <gtest/gtest.h>

#include "vorkand.h"

namespace {

struct Export {
  const char* name;
  WORD ordinal;
};

constexpr std::array<Export, 11> kExports{{
    {"CT_close", 1},
    {"CT_open", 2},
    {"CT_reset", 3},
    {"DesDecrypt", 4},
    {"DesEncrypt", 5},
    {"ICC_command", 6},
    {"ICC_commandS", 7},
    {"ICC_reset", 8},
    {"ICC_resetS", 9},
    {"ICC_tsi_api", 10},
    {"ICC_tsi_apiS", 11},
}};

class DllLoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* path = std::getenv("VORKAND_DLL");
    module_ = LoadLibraryA(path != nullptr ? path : "vorkand.dll");
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "LoadLibrary failed: " << GetLastError(); }

  // The export `name`, cast to the type the header declares for it.
  template <typename Function>
  static Function* find(const char* name) {
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  static HMODULE module_;
};

HMODULE DllLoad::module_ = nullptr;

TEST_F(DllLoad, EveryFunctionIsFoundByNameAndByTheSameOrdinal) {
  for (const Export& e : kExports) {
    FARPROC by_name = GetProcAddress(module_, e.name);
    FARPROC by_ordinal = GetProcAddress(module_, MAKEINTRESOURCEA(e.ordinal));
    EXPECT_NE(by_name, nullptr) << e.name;
    EXPECT_EQ(by_name, by_ordinal) << e.name << " is not ordinal " << e.ordinal;
  }
  EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(12)), nullptr) << "an export beyond the 11";
}

TEST_F(DllLoad, NoDecoratedOrInternalNames) {
  for (const char* name : {"_CT_open@4", "CT_open@4", "_CT_open", "DesEncrypt@12"}) {
    EXPECT_EQ(GetProcAddress(module_, name), nullptr) << name;
  }
}

TEST_F(DllLoad, DesThroughTheLoadedFunctions) {
  // The classic worked example: key 13 34 57 79 9B BC DF F1.
  const std::array<uint8_t, 8> key{0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  const std::array<uint8_t, 8> plain{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const std::array<uint8_t, 8> cipher{0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
  auto* encrypt = find<decltype(DesEncrypt)>("DesEncrypt");
  auto* decrypt = find<decltype(DesDecrypt)>("DesDecrypt");
  ASSERT_NE(encrypt, nullptr);
  ASSERT_NE(decrypt, nullptr);

  std::array<uint8_t, 8> out{};
  EXPECT_EQ(static_cast<uint32_t>(encrypt(out.data(), plain.data(), key.data())), 0x5413E885u);
  EXPECT_EQ(out, cipher);
  EXPECT_EQ(static_cast<uint32_t>(decrypt(out.data(), cipher.data(), key.data())), 0x67452301u);
  EXPECT_EQ(out, plain);
}

TEST_F(DllLoad, PortCallsWithoutAPort) {
  auto* open = find<decltype(CT_open)>("CT_open");
  auto* close = find<decltype(CT_close)>("CT_close");
  auto* reset = find<decltype(CT_reset)>("CT_reset");
  auto* tsi_s = find<decltype(ICC_tsi_apiS)>("ICC_tsi_apiS");
  ASSERT_NE(open, nullptr);
  ASSERT_NE(close, nullptr);
  ASSERT_NE(reset, nullptr);
  ASSERT_NE(tsi_s, nullptr);

  EXPECT_EQ(open("COM5"), 0);
  EXPECT_EQ(open("COM1:"), 0);
  EXPECT_EQ(open(""), 0);
  EXPECT_EQ(open(nullptr), 0);
  EXPECT_EQ(close(0), -1);
  // A value this library did not open is never handed to the system.
  EXPECT_EQ(reset(0x1234), 0xFFFF);
  const std::array<uint8_t, 5> apdu{0x00, 0xB0, 0x00, 0x00, 0x04};
  uint8_t length = 0x55;
  std::array<uint8_t, 256> response{};
  EXPECT_EQ(tsi_s(0x1234, 77, 5, apdu.data(), &length, response.data()), 0xFFFF);
}

}  // namespace
