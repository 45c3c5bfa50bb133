// The simulated card: an ISO 7816-4 file system (MF 3F00, DFs, transparent
// EFs), a PIN with a retry counter, a DES key, and a table from INS byte to
// handler. execute() takes one command APDU and gives the response data and
// SW1 SW2; nothing here touches a port or a clock.
//
// Under T=0 a command that carries data and produces data answers 61 xx; the
// data is kept and handed out by GET RESPONSE (00 C0 00 00 Le).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vorkand::sim {

enum class Protocol : uint8_t { t0 = 0, t1 = 1 };

// One file of the card, named by its path of file identifiers from the MF
// ("3F00", "3F00/5000", "3F00/5000/5001").
struct FileEntry {
  std::vector<uint16_t> path;  // starts with 0x3F00
  bool is_df = false;
  bool needs_pin = false;     // READ/UPDATE BINARY need a verified PIN (69 82)
  std::vector<uint8_t> data;  // contents of a transparent EF
};

struct CardProfile {
  std::vector<uint8_t> atr;
  std::array<uint8_t, 8> key{};  // INTERNAL AUTHENTICATE: DES under this key
  std::vector<uint8_t> pin;
  uint8_t pin_tries = 3;
  std::vector<FileEntry> files;  // the MF is implied
};

// The first protocol the ATR offers: TD1's low nibble, T=0 without TD1.
Protocol first_protocol(std::span<const uint8_t> atr);

struct Response {
  std::vector<uint8_t> data;
  uint16_t sw = 0x9000;
};

class CardModel {
 public:
  explicit CardModel(CardProfile profile, uint64_t challenge_seed = 1);

  // A cold reset: MF selected, PIN unverified (its counter is kept), no
  // pending GET RESPONSE data, protocol back to the ATR's first.
  void reset();
  const std::vector<uint8_t>& atr() const { return profile_.atr; }
  Protocol protocol() const { return protocol_; }
  void set_protocol(Protocol protocol) { protocol_ = protocol; }

  Response execute(std::span<const uint8_t> apdu);

  // Inspection for tests and tools.
  uint8_t pin_tries_left() const { return tries_left_; }
  const std::vector<uint8_t>* file_data(const std::vector<uint16_t>& path) const;

 private:
  struct Apdu;
  using Handler = Response (CardModel::*)(const Apdu&);
  struct Entry {
    uint8_t ins;
    Handler handler;
  };

  Response dispatch(const Apdu& apdu);
  Response select(const Apdu& apdu);
  Response read_binary(const Apdu& apdu);
  Response update_binary(const Apdu& apdu);
  Response get_challenge(const Apdu& apdu);
  Response verify(const Apdu& apdu);
  Response internal_authenticate(const Apdu& apdu);
  Response get_response(const Apdu& apdu);

  std::optional<std::size_t> find(const std::vector<uint16_t>& path) const;
  std::vector<uint8_t> fcp(std::size_t file) const;
  uint64_t next_random();

  CardProfile profile_;
  uint64_t random_state_;
  Protocol protocol_ = Protocol::t0;
  std::vector<uint16_t> current_df_;       // path of the selected DF
  std::optional<std::size_t> current_ef_;  // index into profile_.files
  bool pin_verified_ = false;
  uint8_t tries_left_ = 3;
  std::vector<uint8_t> pending_;  // data waiting for GET RESPONSE (T=0)
};

}  // namespace vorkand::sim
