// PC/SC readers behind the frame seam, against a fake PC/SC service: each
// reader frame's answer, the host's status words through the card operations,
// removal, unplugging, a stopped service, the protocol switch, answers longer
// than a frame, and who may open which reader.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card/card.h"
#include "fake_pcsc.h"
#include "link/handles.h"
#include "link/pcsc/pcsc_channel.h"

// The library declares PC/SC's types itself (it does not need the headers to
// build); where pcsc-lite's headers are at hand, they must agree.
#ifdef VORKAND_CHECK_PCSCLITE_TYPES
#include <winscard.h>
#include <type_traits>
static_assert(std::is_same_v<vorkand::link::pcsc::Dword, DWORD>);
static_assert(std::is_same_v<vorkand::link::pcsc::Long, LONG>);
static_assert(std::is_same_v<vorkand::link::pcsc::Context, SCARDCONTEXT>);
static_assert(std::is_same_v<vorkand::link::pcsc::CardHandle, SCARDHANDLE>);
static_assert(sizeof(vorkand::link::pcsc::IoRequest) == sizeof(SCARD_IO_REQUEST));
static_assert(sizeof(vorkand::link::pcsc::ReaderState) == sizeof(SCARD_READERSTATE));
static_assert(offsetof(vorkand::link::pcsc::ReaderState, event_state) ==
              offsetof(SCARD_READERSTATE, dwEventState));
static_assert(offsetof(vorkand::link::pcsc::ReaderState, atr) ==
              offsetof(SCARD_READERSTATE, rgbAtr));
static_assert(vorkand::link::pcsc::kRemovedCard == static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
static_assert(vorkand::link::pcsc::kNoService == static_cast<uint32_t>(SCARD_E_NO_SERVICE));
static_assert(vorkand::link::pcsc::kStateUnavailable == SCARD_STATE_UNAVAILABLE);
#endif

namespace vorkand::test {
namespace {

using link::Channel;

constexpr const char* kReaderA = "Virtual PCD 00 00";
constexpr const char* kReaderB = "Virtual PCD 00 01";

struct Closer {
  void operator()(Channel* channel) const {
    channel->close();
    delete channel;
  }
};
using Open = std::unique_ptr<Channel, Closer>;

Open open(const char* wanted) {
  return Open(link::pcsc::open_reader(FakePcsc::functions(), wanted, link::unused_handle()));
}

// One frame through the transport: the reply's bytes, empty for no reply.
std::string exchange(Channel& channel, const char* frame) {
  const Bytes bytes = hex(frame);
  std::array<uint8_t, link::kMaxReply> reply{};
  const int32_t count = channel.transport().exchange(bytes, reply);
  return to_hex(Bytes(reply.begin(), reply.begin() + count));
}

struct Host {
  uint16_t status;
  std::string data;
};

Host send(Channel& channel, const char* apdu) {
  const Bytes bytes = hex(apdu);
  std::array<uint8_t, 256> response{};
  uint8_t length = 0;
  const auto result =
      card::transparent_command(channel.transport(), static_cast<int32_t>(bytes.size()),
                                bytes.data(), &length, response.data());
  return {result.status, to_hex(Bytes(response.begin(), response.begin() + length))};
}

uint16_t power_up(Channel& channel, std::string* atr = nullptr) {
  std::array<uint8_t, card::kMaxAtr> bytes{};
  uint8_t length = 0;
  const uint16_t status = card::power_up(channel.transport(), &length, bytes.data());
  if (atr != nullptr) *atr = to_hex(Bytes(bytes.begin(), bytes.begin() + length));
  return status;
}

constexpr const char* kReset = "80 00 04 80 62 00 00 00";
constexpr const char* kPowerUp1 = "80 00 04 80 60 00 00 00";
constexpr const char* kPowerUp2 = "80 00 04 80 6B 05 00 00";
constexpr const char* kAtrRequest = "80 00 04 80 61 00 00 00";
constexpr const char* kSelect = "00 49 07 00 A4 00 00 02 3F 00 00";
constexpr const char* kOk = "80 00 02 90 00 00";
constexpr const char* kRefusal = "80 00 02 70 01 00";

// The reader frames, in each state of reader and card: what a serial reader
// would answer ("" is no reply at all).
TEST(PcscFrames, EachFrameInEachState) {
  enum class State { no_card, held_elsewhere, powered, removed, unplugged, stopped };
  struct Case {
    State state;
    const char* frame;
    const char* reply;
  };
  const Case cases[] = {
      {State::no_card, kReset, kOk},
      {State::no_card, kPowerUp1, kRefusal},
      {State::no_card, kPowerUp2, kRefusal},
      {State::no_card, kAtrRequest, "70 00 00 00"},
      {State::no_card, kSelect, kRefusal},
      {State::held_elsewhere, kPowerUp1, kRefusal},
      {State::powered, kReset, kOk},
      {State::powered, kPowerUp2, kOk},
      {State::powered, kAtrRequest, "70 00 0B 3B 95 13 81 01 80 73 FF 01 00 0B 00"},
      {State::powered, kSelect, "00 49 02 90 00 00"},
      {State::powered, "40 4F 05 00 B0 00 00 02 00", "40 4F 04 12 34 90 00 00"},
      {State::powered, "00 4F 04 00 CA 01 01 00", ""},  // an answer without SW1 SW2
      {State::powered, "00 49 02 00 A4 00", kRefusal},  // not an APDU
      {State::powered, "00 49 07 00 A4", ""},           // not a frame
      {State::powered, "80 00 04 80 99 00 00 00", kRefusal},
      {State::removed, kSelect, kRefusal},
      {State::removed, kPowerUp2, kRefusal},
      {State::removed, kAtrRequest, "70 00 00 00"},
      {State::removed, kReset, kOk},
      {State::unplugged, kReset, ""},
      {State::unplugged, kSelect, ""},
      {State::unplugged, kAtrRequest, ""},
      {State::stopped, kReset, ""},
      {State::stopped, kPowerUp1, ""},
      {State::stopped, kSelect, ""},
  };
  for (const Case& c : cases) {
    FakePcsc pcsc;
    FakeReader& reader = pcsc.add(kReaderA);
    reader.answer = [](const Bytes& apdu) {
      return apdu[1] == 0xB0 ? hex("12 34 90 00") : apdu[1] == 0xCA ? hex("90") : hex("90 00");
    };
    reader.card = c.state != State::no_card;
    reader.held_elsewhere = c.state == State::held_elsewhere;
    Open channel = open(kReaderA);
    ASSERT_NE(channel, nullptr);
    if (c.state == State::powered || c.state >= State::removed) {
      ASSERT_EQ(exchange(*channel, kPowerUp1), kOk);
    }
    if (c.state == State::removed) pcsc.remove_card(0);
    if (c.state == State::unplugged) pcsc.reader(0).plugged = false;
    if (c.state == State::stopped) pcsc.stop();
    EXPECT_EQ(exchange(*channel, c.frame), c.reply)
        << "state " << static_cast<int>(c.state) << ", frame " << c.frame;
  }
}

TEST(PcscHost, TypicalUseThroughTheCardOperations) {
  FakePcsc pcsc;
  FakeReader& reader = pcsc.add(kReaderA);
  reader.answer = [](const Bytes& apdu) {
    switch (apdu[1]) {
      case 0xA4:
        return hex("90 00");
      case 0xB0:
        return hex("48 65 6C 6C 6F 90 00");
      case 0x84:
        return hex("01 02 03 04 05 06 07 08 90 00");
      default:
        return hex("6D 00");
    }
  };
  Open channel = open("PCD 00 00");
  ASSERT_NE(channel, nullptr);
  EXPECT_GE(channel->handle(), 0x40000000);

  EXPECT_EQ(card::reset_reader(channel->transport()), 0x9000);
  std::string atr;
  card::set_protocol_byte(0x40);
  EXPECT_EQ(power_up(*channel, &atr), 0x9000);
  EXPECT_EQ(atr, "3B 95 13 81 01 80 73 FF 01 00 0B");
  EXPECT_EQ(card::protocol_byte(), 0x00);  // TD1 offers T=1

  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0x9000);
  const Host read = send(*channel, "00 B0 00 00 05");
  EXPECT_EQ(read.status, 0x9000);
  EXPECT_EQ(read.data, "48 65 6C 6C 6F");
  EXPECT_EQ(send(*channel, "00 84 00 00 08").data, "01 02 03 04 05 06 07 08");
  EXPECT_EQ(send(*channel, "00 FF 00 00 00").status, 0x6D00);
  // A 6D 00 makes the library send the command once more, as to a serial reader.
  EXPECT_EQ(std::count(reader.log.begin(), reader.log.end(), "transmit T1 00 FF 00 00 00"), 2);

  // The reset request powers the card up again: a cold reset of the connection.
  EXPECT_EQ(send(*channel, "00 12 00 00 00").data, atr);
  EXPECT_EQ(reader.resets, 1);

  char line[128];
  channel->describe(line);
  EXPECT_STREQ(line, "pcsc:Virtual PCD 00 00, T=1, card held exclusively");

  channel.reset();
  EXPECT_EQ(reader.log.back(), "disconnect 1");  // the card is reset for its next user
  EXPECT_EQ(pcsc.open_contexts(), 0u);
}

TEST(PcscHost, RemovalUnpluggingAndAStoppedServiceGiveTheSerialResults) {
  FakePcsc pcsc;
  pcsc.add(kReaderA);
  Open channel = open(kReaderA);
  ASSERT_NE(channel, nullptr);
  ASSERT_EQ(power_up(*channel), 0x9000);

  pcsc.remove_card(0);
  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0x6200);
  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0x6200);
  EXPECT_EQ(power_up(*channel), 0x6200);
  EXPECT_EQ(card::reset_reader(channel->transport()), 0x9000);

  pcsc.reader(0).card = true;  // a card again: power-up connects afresh
  EXPECT_EQ(power_up(*channel), 0x9000);
  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0x9000);

  pcsc.reader(0).plugged = false;
  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0xFFFF);
  EXPECT_EQ(card::reset_reader(channel->transport()), 0xFFFF);
  EXPECT_EQ(power_up(*channel), 0xFFFF);

  pcsc.reader(0).plugged = true;
  pcsc.stop();
  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0xFFFF);
  EXPECT_EQ(card::reset_reader(channel->transport()), 0xFFFF);
  Channel* raw = channel.release();
  EXPECT_TRUE(raw->close());  // nothing left to release: closed all the same
  delete raw;
}

// The frame trace watches a PC/SC port as it watches a serial line: the frame,
// the reply, and a reader that cannot answer as a hang-up.
TEST(PcscHost, TheTraceSeesFramesAndRepliesAsOnASerialLine) {
  struct Recorder final : link::ExchangeObserver {
    std::vector<std::string> events;
    void sent(std::span<const uint8_t> frame) noexcept override {
      events.push_back("> " + to_hex(Bytes(frame.begin(), frame.end())));
    }
    void received(std::span<const uint8_t> bytes) noexcept override {
      events.push_back("< " + to_hex(Bytes(bytes.begin(), bytes.end())));
    }
    void ended(link::Ending why) noexcept override {
      events.push_back(why == link::Ending::hang_up ? "hang-up" : "other ending");
    }
  } recorder;
  FakePcsc pcsc;
  pcsc.add(kReaderA);
  Open channel = open(kReaderA);
  ASSERT_NE(channel, nullptr);
  channel->transport().observe(&recorder);
  EXPECT_EQ(exchange(*channel, kReset), kOk);
  pcsc.reader(0).plugged = false;
  EXPECT_EQ(exchange(*channel, kReset), "");
  channel->transport().observe(nullptr);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{std::string("> ") + kReset, std::string("< ") + kOk,
                                      std::string("> ") + kReset, "hang-up"}));
}

TEST(PcscHost, ACardHeldByAnotherProgramIsRefused) {
  FakePcsc pcsc;
  pcsc.add(kReaderA).held_elsewhere = true;
  Open channel = open(kReaderA);
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(card::reset_reader(channel->transport()), 0x9000);
  EXPECT_EQ(power_up(*channel), 0x6200);
  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0x6200);
}

TEST(PcscHost, ProtocolSwitchAcceptedOnlyWhenThatProtocolIsActive) {
  FakePcsc pcsc;
  pcsc.add(kReaderA);
  pcsc.add(kReaderB);  // T=1 only
  pcsc.reader(0).offered = pc::kProtocolT0 | pc::kProtocolT1;
  pcsc.reader(0).atr = hex("3B 90 11 80 01");  // TD1 offers T=0, TD2 T=1
  Open both = open(kReaderA);
  Open t1_only = open(kReaderB);
  ASSERT_NE(both, nullptr);
  ASSERT_NE(t1_only, nullptr);

  ASSERT_EQ(power_up(*both), 0x9000);
  EXPECT_EQ(send(*both, "80 14 00 00 01 00").status, 0x9000);
  EXPECT_EQ(card::protocol_byte(), 0x40);
  send(*both, "00 A4 00 0C 02 3F 00");
  EXPECT_EQ(pcsc.reader(0).log.back(), "transmit T0 00 A4 00 0C 02 3F 00");
  EXPECT_EQ(send(*both, "80 14 00 00 01 01").status, 0x9000);
  EXPECT_EQ(card::protocol_byte(), 0x00);
  EXPECT_EQ(send(*both, "80 14 00 00 01 05").status, 0x6A86);

  ASSERT_EQ(power_up(*t1_only), 0x9000);
  EXPECT_EQ(send(*t1_only, "80 14 00 00 01 00").status, 0x6A86);
  EXPECT_EQ(pcsc.reader(1).resets, 0);         // refused without resetting the card
  pcsc.reader(1).atr = hex("3B 80 80 01 00");  // claims T=0 too, but cannot
  EXPECT_EQ(send(*t1_only, "80 14 00 00 01 00").status, 0x6A86);
  EXPECT_EQ(card::protocol_byte(), 0x00);
  EXPECT_EQ(send(*t1_only, "00 A4 00 0C 02 3F 00").status, 0x9000);  // still usable under T=1
  EXPECT_EQ(pcsc.reader(1).log.back(), "transmit T1 00 A4 00 0C 02 3F 00");
}

TEST(PcscHost, AnAnswerLongerThanAFrameComesInPartsNeverCut) {
  FakePcsc pcsc;
  Bytes long_answer(300);
  for (std::size_t i = 0; i < long_answer.size(); ++i) long_answer[i] = static_cast<uint8_t>(i);
  pcsc.add(kReaderA).answer = [&](const Bytes&) {
    Bytes answer = long_answer;
    answer.push_back(0x62);  // the card's own status word ends the last part
    answer.push_back(0x82);
    return answer;
  };
  Open channel = open(kReaderA);
  ASSERT_NE(channel, nullptr);
  ASSERT_EQ(power_up(*channel), 0x9000);

  const Host first = send(*channel, "00 B0 00 00 00");
  EXPECT_EQ(first.status, 0x6132);  // 50 more bytes
  const Host second = send(*channel, "00 C0 00 00 32");
  EXPECT_EQ(second.status, 0x6282);
  EXPECT_EQ(hex(first.data + " " + second.data), long_answer);
  EXPECT_EQ(pcsc.reader(0).log.size(), 2u);  // connect, one transmit

  // A short GET RESPONSE takes less; any other command drops the rest.
  send(*channel, "00 B0 00 00 00");
  const Host part = send(*channel, "00 C0 00 00 10");
  EXPECT_EQ(part.status, 0x6122);
  EXPECT_EQ(hex(part.data), Bytes(long_answer.begin() + 250, long_answer.begin() + 266));
  EXPECT_EQ(send(*channel, "00 A4 00 0C 02 3F 00").status, 0x6132);
}

TEST(PcscOpen, ChoosingAReaderAndOwningIt) {
  struct Case {
    const char* wanted;
    int opens;  // index of the reader opened, -1 none
  };
  const Case cases[] = {
      {"", 0},                   // the first listed
      {"Virtual PCD 00 01", 1},  // exact
      {"00 01", 1},              // the only one containing it
      {"Virtual", -1},           // two contain it
      {"Another", -1},           // none
      {"Virtual PCD 00 0", 2},   // equal to one wins over containing
  };
  for (const Case& c : cases) {
    FakePcsc pcsc;
    pcsc.add(kReaderA);
    pcsc.add(kReaderB);
    pcsc.add("Virtual PCD 00 0");
    Open channel = open(c.wanted);
    EXPECT_EQ(channel != nullptr, c.opens >= 0) << c.wanted;
    if (!channel) {
      EXPECT_EQ(pcsc.open_contexts(), 0u);
      continue;
    }
    ASSERT_EQ(power_up(*channel), 0x9000);
    EXPECT_EQ(pcsc.reader(static_cast<std::size_t>(c.opens)).log.front(), "connect") << c.wanted;
  }
  {
    // A name too long to hold is refused with a reason for the trace.
    FakePcsc pcsc;
    pcsc.add(std::string(300, 'R'));
    link::OpenFailure why;
    EXPECT_EQ(link::pcsc::open_reader(FakePcsc::functions(), "RRR", link::unused_handle(), &why),
              nullptr);
    EXPECT_NE(std::string(why.text()).find("longer than 255 bytes"), std::string::npos)
        << why.text();
  }

  FakePcsc pcsc;
  pcsc.add(kReaderA);
  pcsc.add(kReaderB);
  Open a = open(kReaderA);
  Open b = open(kReaderB);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a->handle(), b->handle());
  EXPECT_EQ(open(kReaderA), nullptr);  // one handle per reader in the process
  EXPECT_EQ(open("PCD 00 01"), nullptr);
  a.reset();
  Open again = open(kReaderA);
  ASSERT_NE(again, nullptr);

  // A handle is never one the handle table still holds.
  Channel* remembered = again.release();
  ASSERT_TRUE(link::remember_channel(remembered));
  for (int i = 0; i < 4; ++i) EXPECT_NE(link::unused_handle(), remembered->handle());
  ASSERT_EQ(link::take_channel(remembered->handle()), remembered);
  Closer{}(remembered);

  pcsc.stop();
  EXPECT_EQ(open(kReaderB), nullptr);  // b is still open anyway
  pcsc.set_running(false);
  EXPECT_EQ(open("Virtual PCD 00 00"), nullptr);  // no service
}

TEST(PcscOpen, NoReadersOrNoServiceOpensNothing) {
  FakePcsc pcsc;
  EXPECT_EQ(open(""), nullptr);
  pcsc.add(kReaderA).plugged = false;
  EXPECT_EQ(open(""), nullptr);
  pcsc.reader(0).plugged = true;
  pcsc.stop();
  EXPECT_EQ(open(""), nullptr);
}

// Every function the port uses, under its name on this platform (pcsc-lite's
// libpcsclite.so.1; WinSCard's A variants, also under Wine).
TEST(PcscLoad, TheSystemsPcscServicesLoadOnce) {
  const pc::Functions* functions = pc::system_functions();
  ASSERT_NE(functions, nullptr);
  EXPECT_NE(functions->get_status_change, nullptr);
  EXPECT_EQ(pc::system_functions(), functions);
}

TEST(PcscThreads, TwoReadersOnTwoThreads) {
  FakePcsc pcsc;
  for (const char* name : {kReaderA, kReaderB}) {
    pcsc.add(name).answer = [](const Bytes& apdu) {
      return Bytes{apdu[2], apdu[3], 0x90, 0x00};  // echoes P1 P2
    };
  }
  Open a = open(kReaderA);
  Open b = open(kReaderB);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  auto run = [](Channel& channel, int* failures) {
    if (power_up(channel) != 0x9000) ++*failures;
    for (int i = 0; i < 300; ++i) {
      std::array<uint8_t, 5> apdu{0x00, 0xB0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i),
                                  0x02};
      std::array<uint8_t, 256> response{};
      uint8_t length = 0;
      const auto result =
          card::command(channel.transport(), 5, apdu.data(), &length, response.data(), 1, 1);
      if (result.status != 0x9000 || length != 2 || response[0] != apdu[2] ||
          response[1] != apdu[3]) {
        ++*failures;
      }
    }
  };
  int failures_a = 0;
  int failures_b = 0;
  std::thread ta(run, std::ref(*a), &failures_a);
  std::thread tb(run, std::ref(*b), &failures_b);
  ta.join();
  tb.join();
  EXPECT_EQ(failures_a, 0);
  EXPECT_EQ(failures_b, 0);
}

}  // namespace
}  // namespace vorkand::test
