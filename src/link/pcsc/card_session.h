// The card session under a PC/SC reader: the calls the reader emulation makes
// on the card and the reader, in PC/SC's own terms but free of its handles,
// so that the emulation runs over the system's PC/SC or over a small fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/open_failure.h"
#include "link/pcsc/pcsc_api.h"
#include "link/pcsc/pcsc_result.h"

namespace vorkand::link::pcsc {

// Protocols as PC/SC counts them: a set of bits.
inline constexpr uint8_t kT0 = 0x01;
inline constexpr uint8_t kT1 = 0x02;
inline constexpr uint8_t kEitherProtocol = kT0 | kT1;

// What a reconnect does to the card: nothing, a warm reset, a cold reset.
enum class Reset : uint8_t { leave, warm, cold };

class CardSession {
 public:
  // True from a successful connect() until disconnect().
  virtual bool connected() const noexcept = 0;
  // The active protocol (kT0 or kT1) of the connection, 0 before the first.
  virtual uint8_t protocol() const noexcept = 0;
  // Connects to the card exclusively with T=0 or T=1, as card and reader agree.
  virtual Outcome connect() noexcept = 0;
  // Connected: asks for one of `wanted`, resetting the card as `reset` says;
  // on success protocol() is the one then active.
  virtual Outcome reconnect(uint8_t wanted, Reset reset) noexcept = 0;
  // Connected: whether the card still answers; on success atr() is its ATR,
  // else empty.
  virtual Outcome read_status() noexcept = 0;
  virtual std::span<const uint8_t> atr() const noexcept = 0;
  // Whether the reader is still listed (a card need not be in it).
  virtual bool reader_listed() noexcept = 0;
  // Connected: one APDU with the active protocol; on success `length` bytes
  // of `response` hold the answer.
  virtual Outcome transmit(std::span<const uint8_t> apdu, std::span<uint8_t> response,
                           std::size_t& length) noexcept = 0;
  // Ends the connection, if any (Reset::cold counts as warm).
  virtual void disconnect(Reset reset) noexcept = 0;

 protected:
  ~CardSession() = default;
};

// The session over PC/SC's own calls, on one reader of one context.
class PcscSession final : public CardSession {
 public:
  static constexpr std::size_t kMaxReaderName = 256;  // longest reader name, with its zero

  PcscSession(const Functions& functions, Context context, const char* name) noexcept;
  PcscSession(const PcscSession&) = delete;
  PcscSession& operator=(const PcscSession&) = delete;
  ~PcscSession() = default;

  const char* name() const noexcept { return name_; }
  // Disconnects (with a reset of the card) and releases the context. False
  // when PC/SC did not know the context.
  bool close() noexcept;

  bool connected() const noexcept override { return connected_; }
  uint8_t protocol() const noexcept override { return static_cast<uint8_t>(protocol_); }
  Outcome connect() noexcept override;
  Outcome reconnect(uint8_t wanted, Reset reset) noexcept override;
  Outcome read_status() noexcept override;
  std::span<const uint8_t> atr() const noexcept override;
  bool reader_listed() noexcept override;
  Outcome transmit(std::span<const uint8_t> apdu, std::span<uint8_t> response,
                   std::size_t& length) noexcept override;
  void disconnect(Reset reset) noexcept override;

 private:
  const Functions& functions_;
  Context context_;
  CardHandle card_{};
  bool connected_ = false;
  Dword protocol_ = 0;
  Dword atr_length_ = 0;
  uint8_t atr_[kMaxAtr]{};
  char name_[kMaxReaderName]{};
};

// Copies into `chosen` the reader `wanted` names among those PC/SC lists: the
// one whose name equals it, else the only one whose name contains it; an
// empty `wanted` means the first reader listed. False, with the reason in
// `why` (the names there are, or those that match), when none or several do.
bool choose_reader(const Functions& functions, Context context, std::string_view wanted,
                   std::span<char> chosen, OpenFailure& why) noexcept;

}  // namespace vorkand::link::pcsc
