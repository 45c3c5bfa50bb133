// The IFD handler's C layer as pcscd uses it, without pcscd: the built
// libvorkand_ifd.so is loaded with dlopen and driven on simulated readers on
// pseudo-terminals. Checks the Lun table (several readers at once, each on its
// own port), the capabilities, and the response codes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "hex.h"
#include "sim/card_file.h"
#include "sim/pty_simulator.h"
#include "simulator.h"

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#ifndef VORKAND_IFD_PATH
#error "VORKAND_IFD_PATH must name the built driver"
#endif

namespace {

// The entry points, looked up by name as pcscd does.
struct Driver {
  decltype(&IFDHCreateChannelByName) create_by_name;
  decltype(&IFDHCreateChannel) create;
  decltype(&IFDHCloseChannel) close;
  decltype(&IFDHGetCapabilities) get_capabilities;
  decltype(&IFDHSetCapabilities) set_capabilities;
  decltype(&IFDHSetProtocolParameters) set_protocol;
  decltype(&IFDHPowerICC) power;
  decltype(&IFDHTransmitToICC) transmit;
  decltype(&IFDHICCPresence) presence;
  decltype(&IFDHControl) control;
};

template <typename F>
void lookup(void* library, const char* name, F& into) {
  into = reinterpret_cast<F>(dlsym(library, name));
  ASSERT_NE(into, nullptr) << name;
}

std::unique_ptr<vorkand::sim::PtySimulator> start_sim(vorkand::sim::Protocol protocol) {
  vorkand::sim::CardProfile card = vorkand::sim::default_card();
  const auto atr = vorkand::sim::builtin_atr(protocol);
  card.atr.assign(atr.begin(), atr.end());
  return vorkand::test::start_simulator({}, std::move(card));
}

std::vector<uint8_t> bytes_of(std::span<const uint8_t> span) {
  return {span.begin(), span.end()};
}

class Ifdh : public ::testing::Test {
 protected:
  static constexpr DWORD kLunA = 0x00000;
  static constexpr DWORD kLunB = 0x10000;

  void SetUp() override {
    library_ = dlopen(VORKAND_IFD_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    lookup(library_, "IFDHCreateChannelByName", d.create_by_name);
    lookup(library_, "IFDHCreateChannel", d.create);
    lookup(library_, "IFDHCloseChannel", d.close);
    lookup(library_, "IFDHGetCapabilities", d.get_capabilities);
    lookup(library_, "IFDHSetCapabilities", d.set_capabilities);
    lookup(library_, "IFDHSetProtocolParameters", d.set_protocol);
    lookup(library_, "IFDHPowerICC", d.power);
    lookup(library_, "IFDHTransmitToICC", d.transmit);
    lookup(library_, "IFDHICCPresence", d.presence);
    lookup(library_, "IFDHControl", d.control);
    sim_t0_ = start_sim(vorkand::sim::Protocol::t0);
    sim_t1_ = start_sim(vorkand::sim::Protocol::t1);
    ASSERT_TRUE(sim_t0_ && sim_t1_);
  }
  void TearDown() override {
    if (library_ != nullptr) dlclose(library_);
  }

  std::vector<uint8_t> power_up(DWORD lun) {
    std::array<UCHAR, MAX_ATR_SIZE> atr{};
    DWORD length = atr.size();
    EXPECT_EQ(d.power(lun, IFD_POWER_UP, atr.data(), &length), IFD_SUCCESS);
    return {atr.begin(), atr.begin() + length};
  }

  // The answer as hex, or the response code when it is not IFD_SUCCESS.
  std::string transmit(DWORD lun, std::vector<UCHAR> apdu) {
    std::array<UCHAR, 65548> answer{};
    DWORD length = answer.size();
    SCARD_IO_HEADER send{SCARD_PROTOCOL_T0, 0};
    SCARD_IO_HEADER receive{};
    const RESPONSECODE code = d.transmit(lun, send, apdu.data(), static_cast<DWORD>(apdu.size()),
                                         answer.data(), &length, &receive);
    if (code != IFD_SUCCESS) {
      EXPECT_EQ(length, 0u);
      return "code " + std::to_string(code);
    }
    return vorkand::test::to_hex(std::span(answer).first(length), "");
  }

  UCHAR byte_capability(DWORD lun, DWORD tag) {
    UCHAR value = 0xEE;
    DWORD length = 1;
    EXPECT_EQ(d.get_capabilities(lun, tag, &length, &value), IFD_SUCCESS) << std::hex << tag;
    EXPECT_EQ(length, 1u);
    return value;
  }

  Driver d{};
  void* library_ = nullptr;
  std::unique_ptr<vorkand::sim::PtySimulator> sim_t0_;
  std::unique_ptr<vorkand::sim::PtySimulator> sim_t1_;
};

TEST_F(Ifdh, TwoReadersAtOnceEachWithItsOwnCardAndProtocol) {
  // A device path, and a COM name with the colon reader.conf needs.
  ASSERT_EQ(d.create_by_name(kLunA, const_cast<char*>(sim_t0_->device_path().c_str())),
            IFD_SUCCESS);
  ASSERT_EQ(setenv("VORKAND_COM3", sim_t1_->device_path().c_str(), 1), 0);
  ASSERT_EQ(d.create_by_name(kLunB, const_cast<char*>("COM3:")), IFD_SUCCESS);
  // A Lun is opened once.
  EXPECT_NE(d.create_by_name(kLunB, const_cast<char*>(sim_t0_->device_path().c_str())),
            IFD_SUCCESS);

  EXPECT_EQ(d.presence(kLunA), IFD_ICC_PRESENT);
  EXPECT_EQ(d.presence(kLunB), IFD_ICC_PRESENT);
  const auto atr_a = power_up(kLunA);
  const auto atr_b = power_up(kLunB);
  EXPECT_EQ(atr_a, bytes_of(vorkand::sim::builtin_atr(vorkand::sim::Protocol::t0)));
  EXPECT_EQ(atr_b, bytes_of(vorkand::sim::builtin_atr(vorkand::sim::Protocol::t1)));

  // No PPS: each card runs the protocol it offers first.
  EXPECT_EQ(d.set_protocol(kLunA, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(d.set_protocol(kLunA, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(d.set_protocol(kLunB, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);

  // SELECT EF 2F00 then READ BINARY on both; A answers 61xx under T=0 and
  // the library fetches the FCP, so both show data and 90 00.
  const std::string select = transmit(kLunA, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00});
  EXPECT_EQ(select.substr(select.size() - 4), "9000");
  EXPECT_GT(select.size(), 4u);
  EXPECT_EQ(transmit(kLunB, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00}), select);
  const std::string text = "766F726B616E642073696D756C617465642063617264";  // the file's text
  EXPECT_EQ(transmit(kLunA, {0x00, 0xB0, 0x00, 0x00, 0x16}), text + "9000");
  EXPECT_EQ(transmit(kLunB, {0x00, 0xB0, 0x00, 0x00, 0x16}), text + "9000");

  // Closing one leaves the other at work.
  EXPECT_EQ(d.close(kLunA), IFD_SUCCESS);
  EXPECT_EQ(d.presence(kLunA), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(transmit(kLunA, {0x00, 0xB0, 0x00, 0x00, 0x16}),
            "code " + std::to_string(IFD_COMMUNICATION_ERROR));
  EXPECT_EQ(transmit(kLunB, {0x00, 0xB0, 0x00, 0x00, 0x16}), text + "9000");
  EXPECT_EQ(d.close(kLunA), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(d.close(kLunB), IFD_SUCCESS);
}

TEST_F(Ifdh, TwoReadersServedFromTwoThreadsAtOnce) {
  ASSERT_EQ(d.create_by_name(kLunA, const_cast<char*>(sim_t0_->device_path().c_str())),
            IFD_SUCCESS);
  ASSERT_EQ(d.create_by_name(kLunB, const_cast<char*>(sim_t1_->device_path().c_str())),
            IFD_SUCCESS);
  power_up(kLunA);
  power_up(kLunB);
  ASSERT_EQ(transmit(kLunA, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00}).substr(0, 2), "62");
  ASSERT_EQ(transmit(kLunB, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00}).substr(0, 2), "62");
  // Each thread reads its own reader's file, undisturbed by the other.
  const std::string text = "766F726B616E642073696D756C617465642063617264";
  auto reads = [&](DWORD lun, int* good) {
    for (int i = 0; i < 25; ++i) {
      if (transmit(lun, {0x00, 0xB0, 0x00, 0x00, 0x16}) == text + "9000") ++*good;
      if (d.presence(lun) == IFD_ICC_PRESENT) ++*good;
    }
  };
  int good_a = 0;
  int good_b = 0;
  std::thread a(reads, kLunA, &good_a);
  std::thread b(reads, kLunB, &good_b);
  a.join();
  b.join();
  EXPECT_EQ(good_a, 50);
  EXPECT_EQ(good_b, 50);
  EXPECT_EQ(d.close(kLunA), IFD_SUCCESS);
  EXPECT_EQ(d.close(kLunB), IFD_SUCCESS);
}

TEST_F(Ifdh, CapabilitiesAndControl) {
  ASSERT_EQ(d.create_by_name(kLunA, const_cast<char*>(sim_t1_->device_path().c_str())),
            IFD_SUCCESS);
  // Nothing known before the first power-up.
  EXPECT_EQ(byte_capability(kLunA, SCARD_ATTR_ICC_PRESENCE), 0);
  std::array<UCHAR, 300> value{};
  DWORD length = value.size();
  EXPECT_EQ(d.get_capabilities(kLunA, TAG_IFD_ATR, &length, value.data()), IFD_SUCCESS);
  EXPECT_EQ(length, 0u);

  const auto atr = power_up(kLunA);
  for (const DWORD tag : {DWORD{TAG_IFD_ATR}, DWORD{SCARD_ATTR_ATR_STRING}}) {
    length = value.size();
    EXPECT_EQ(d.get_capabilities(kLunA, tag, &length, value.data()), IFD_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(value.begin(), value.begin() + length), atr);
  }
  length = static_cast<DWORD>(atr.size() - 1);
  EXPECT_EQ(d.get_capabilities(kLunA, TAG_IFD_ATR, &length, value.data()),
            IFD_ERROR_INSUFFICIENT_BUFFER);

  EXPECT_EQ(byte_capability(kLunA, SCARD_ATTR_ICC_PRESENCE), 2);
  EXPECT_EQ(byte_capability(kLunA, TAG_IFD_SLOTS_NUMBER), 1);
  EXPECT_EQ(byte_capability(kLunA, TAG_IFD_THREAD_SAFE), 1);
  EXPECT_EQ(byte_capability(kLunA, TAG_IFD_SLOT_THREAD_SAFE), 0);
  length = value.size();
  EXPECT_EQ(d.get_capabilities(kLunA, SCARD_ATTR_VENDOR_NAME, &length, value.data()), IFD_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.data()), length),
            std::string("vorkand", 8));
  // pcscd polls presence itself.
  for (const DWORD tag :
       {DWORD{TAG_IFD_POLLING_THREAD_WITH_TIMEOUT}, DWORD{TAG_IFD_POLLING_THREAD},
        DWORD{TAG_IFD_POLLING_THREAD_KILLABLE}, DWORD{TAG_IFD_STOP_POLLING_THREAD}}) {
    length = value.size();
    EXPECT_EQ(d.get_capabilities(kLunA, tag, &length, value.data()), IFD_ERROR_TAG) << tag;
  }

  DWORD returned = 77;
  UCHAR request = 0;
  EXPECT_EQ(d.control(kLunA, 0x42000D48, &request, 1, value.data(), value.size(), &returned),
            IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(d.close(kLunA), IFD_SUCCESS);
}

TEST_F(Ifdh, PowerDownForgetsTheAtrButNotTheCard) {
  // Channel 2 stands for COM2.
  ASSERT_EQ(setenv("VORKAND_COM2", sim_t0_->device_path().c_str(), 1), 0);
  ASSERT_EQ(d.create(kLunB, 2), IFD_SUCCESS);
  power_up(kLunB);
  const int frames = sim_t0_->frames_received();
  DWORD length = MAX_ATR_SIZE;
  std::array<UCHAR, MAX_ATR_SIZE> atr{};
  EXPECT_EQ(d.power(kLunB, IFD_POWER_DOWN, atr.data(), &length), IFD_SUCCESS);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(d.presence(kLunB), IFD_ICC_PRESENT);
  EXPECT_EQ(transmit(kLunB, {0x00, 0xB0, 0x00, 0x00, 0x16}),
            "code " + std::to_string(IFD_COMMUNICATION_ERROR));
  EXPECT_EQ(sim_t0_->frames_received(), frames);  // nothing went to the reader

  // An APDU the reader's frame cannot carry.
  power_up(kLunB);
  EXPECT_EQ(transmit(kLunB, std::vector<UCHAR>(252, 0x00)),
            "code " + std::to_string(IFD_NOT_SUPPORTED));
  EXPECT_EQ(d.close(kLunB), IFD_SUCCESS);
}

TEST_F(Ifdh, MissingDevicesAndUnknownLuns) {
  // Each refused open leaves its reason in the log (stderr outside pcscd).
  testing::internal::CaptureStderr();
  EXPECT_EQ(d.create_by_name(kLunA, const_cast<char*>("/nonexistent/tty")), IFD_NO_SUCH_DEVICE);
  ASSERT_EQ(setenv("VORKAND_COM4", "pcsc:any", 1), 0);
  EXPECT_EQ(d.create_by_name(kLunA, const_cast<char*>("COM4:")), IFD_NO_SUCH_DEVICE);
  ASSERT_EQ(unsetenv("VORKAND_COM4"), 0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("cannot open /nonexistent/tty (/nonexistent/tty): missing"), std::string::npos)
      << log;
  EXPECT_NE(log.find("COM4: a pcsc: mapping cannot be served inside pcscd"), std::string::npos)
      << log;
  EXPECT_EQ(d.create(kLunA, 9), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(d.presence(0x50000), IFD_COMMUNICATION_ERROR);
  DWORD length = 1;
  UCHAR value = 0;
  EXPECT_EQ(d.get_capabilities(0x50000, TAG_IFD_SLOTS_NUMBER, &length, &value),
            IFD_COMMUNICATION_ERROR);
}

}  // namespace
