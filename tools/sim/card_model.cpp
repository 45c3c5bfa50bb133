#include "sim/card_model.h"

#include <openssl/des.h>

#include <algorithm>
#include <bit>

namespace vorkand::sim {
namespace {

constexpr uint16_t kMf = 0x3F00;

// Status words the card answers.
constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kEndOfFile = 0x6282;        // fewer bytes than Le before the end
constexpr uint16_t kWrongLength = 0x6700;      // Lc or Le missing or wrong
constexpr uint16_t kNoPin = 0x6982;            // security status not satisfied
constexpr uint16_t kPinBlocked = 0x6983;       // authentication method blocked
constexpr uint16_t kNoData = 0x6985;           // GET RESPONSE with nothing pending
constexpr uint16_t kNoCurrentEf = 0x6986;      // command not allowed: no EF selected
constexpr uint16_t kNoSuchFunction = 0x6A81;   // e.g. READ BINARY by short EF id
constexpr uint16_t kFileNotFound = 0x6A82;     // SELECT of a missing file
constexpr uint16_t kNotEnoughRoom = 0x6A84;    // UPDATE past the end of the file
constexpr uint16_t kWrongP1P2 = 0x6A86;        // incorrect P1 P2
constexpr uint16_t kNoReferenceData = 0x6A88;  // VERIFY on a card without a PIN
constexpr uint16_t kOffsetPastEnd = 0x6B00;    // offset outside the EF
constexpr uint16_t kInsUnknown = 0x6D00;       // instruction not supported
constexpr uint16_t kClaUnknown = 0x6E00;       // class not supported

Response status(uint16_t sw) {
  return Response{{}, sw};
}

}  // namespace

Protocol first_protocol(std::span<const uint8_t> atr) {
  // T0 (the second byte) says which of TA1 TB1 TC1 TD1 follow, in its bits
  // 5, 6, 7 and 8. TD1's low nibble is the first protocol offered; no TD1,
  // or a cut-off ATR, means T=0.
  constexpr std::size_t kT0 = 1;
  if (atr.size() <= kT0 || (atr[kT0] & 0x80) == 0) return Protocol::t0;
  const std::size_t td1 =
      kT0 + 1 + static_cast<std::size_t>(std::popcount(static_cast<unsigned>(atr[kT0] & 0x70)));
  if (td1 >= atr.size()) return Protocol::t0;
  return (atr[td1] & 0x0F) == 1 ? Protocol::t1 : Protocol::t0;
}

// One parsed command APDU. `le` is 1..256 when the command expects data (a
// coded 00 means 256), absent for cases 1 and 3.
struct CardModel::Apdu {
  uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  std::span<const uint8_t> data;
  bool has_data = false;
  std::optional<int> le;
};

CardModel::CardModel(CardProfile profile, uint64_t challenge_seed)
    : profile_(std::move(profile)), random_state_(challenge_seed) {
  const bool has_mf =
      std::any_of(profile_.files.begin(), profile_.files.end(),
                  [](const FileEntry& f) { return f.path == std::vector<uint16_t>{kMf}; });
  if (!has_mf) profile_.files.insert(profile_.files.begin(), FileEntry{{kMf}, true, false, {}});
  tries_left_ = profile_.pin_tries;
  reset();
}

void CardModel::reset() {
  current_df_ = {kMf};
  current_ef_.reset();
  pin_verified_ = false;
  pending_.clear();
  protocol_ = first_protocol(profile_.atr);
}

const std::vector<uint8_t>* CardModel::file_data(const std::vector<uint16_t>& path) const {
  const auto index = find(path);
  return index ? &profile_.files[*index].data : nullptr;
}

std::optional<std::size_t> CardModel::find(const std::vector<uint16_t>& path) const {
  for (std::size_t i = 0; i < profile_.files.size(); ++i) {
    if (profile_.files[i].path == path) return i;
  }
  return std::nullopt;
}

uint64_t CardModel::next_random() {
  // splitmix64: a fixed seed gives the same challenges on every run.
  uint64_t z = (random_state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

Response CardModel::execute(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return status(kWrongLength);
  Apdu apdu;
  apdu.cla = bytes[0];
  apdu.ins = bytes[1];
  apdu.p1 = bytes[2];
  apdu.p2 = bytes[3];
  if (bytes.size() == 5) {
    apdu.le = bytes[4] == 0 ? 256 : bytes[4];
  } else if (bytes.size() > 5) {
    const std::size_t lc = bytes[4];
    if (lc == 0) return status(kWrongLength);
    if (bytes.size() != 5 + lc && bytes.size() != 6 + lc) return status(kWrongLength);
    apdu.data = bytes.subspan(5, lc);
    apdu.has_data = true;
    if (bytes.size() == 6 + lc) apdu.le = bytes[5 + lc] == 0 ? 256 : bytes[5 + lc];
  }
  if (apdu.cla != 0x00) return status(kClaUnknown);
  if (apdu.ins != 0xC0) pending_.clear();

  Response response = dispatch(apdu);
  // T=0 cannot send data after command data in one exchange: the card
  // announces it with 61 xx and waits for GET RESPONSE.
  if (protocol_ == Protocol::t0 && apdu.has_data && !response.data.empty() && response.sw == kOk) {
    pending_ = std::move(response.data);
    return status(static_cast<uint16_t>(0x6100 | (pending_.size() & 0xFF)));
  }
  return response;
}

Response CardModel::dispatch(const Apdu& apdu) {
  static constexpr Entry kTable[] = {
      {0xA4, &CardModel::select},        {0xB0, &CardModel::read_binary},
      {0xD6, &CardModel::update_binary}, {0x84, &CardModel::get_challenge},
      {0x20, &CardModel::verify},        {0x88, &CardModel::internal_authenticate},
      {0xC0, &CardModel::get_response},
  };
  for (const Entry& entry : kTable) {
    if (entry.ins == apdu.ins) return (this->*entry.handler)(apdu);
  }
  return status(kInsUnknown);
}

std::vector<uint8_t> CardModel::fcp(std::size_t index) const {
  const FileEntry& file = profile_.files[index];
  const uint16_t fid = file.path.back();
  const std::size_t size = file.data.size();
  std::vector<uint8_t> fcp;
  fcp.reserve(15);
  for (uint8_t b : {uint8_t{0x62}, uint8_t{0x00}, uint8_t{0x82}, uint8_t{0x01},
                    static_cast<uint8_t>(file.is_df ? 0x38 : 0x01), uint8_t{0x83}, uint8_t{0x02},
                    static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid & 0xFF)}) {
    fcp.push_back(b);
  }
  if (!file.is_df) {
    for (uint8_t b : {uint8_t{0x80}, uint8_t{0x02}, static_cast<uint8_t>(size >> 8),
                      static_cast<uint8_t>(size & 0xFF)}) {
      fcp.push_back(b);
    }
  }
  fcp[1] = static_cast<uint8_t>(fcp.size() - 2);
  return fcp;
}

// SELECT by file identifier (P1 00): the MF, a child of the current DF, the
// current DF's parent, or a sibling of the current DF. P2 0C asks for no FCP.
Response CardModel::select(const Apdu& apdu) {
  if (apdu.p1 != 0x00) return status(kWrongP1P2);
  if (!apdu.has_data) {
    current_df_ = {kMf};
    current_ef_.reset();
    return status(kOk);
  }
  if (apdu.data.size() != 2) return status(kWrongLength);
  const uint16_t fid = static_cast<uint16_t>(apdu.data[0] << 8 | apdu.data[1]);

  std::vector<std::vector<uint16_t>> candidates;
  if (fid == kMf) candidates.push_back({kMf});
  std::vector<uint16_t> child = current_df_;
  child.push_back(fid);
  candidates.push_back(child);
  if (current_df_.size() > 1) {
    std::vector<uint16_t> parent(current_df_.begin(), current_df_.end() - 1);
    if (parent.back() == fid) candidates.push_back(parent);
    parent.push_back(fid);
    candidates.push_back(parent);
  }
  for (const auto& path : candidates) {
    const auto index = find(path);
    if (!index) continue;
    const FileEntry& file = profile_.files[*index];
    if (file.is_df) {
      current_df_ = file.path;
      current_ef_.reset();
    } else {
      current_df_.assign(file.path.begin(), file.path.end() - 1);
      current_ef_ = index;
    }
    if (apdu.p2 == 0x0C) return status(kOk);
    return Response{fcp(*index), kOk};
  }
  return status(kFileNotFound);
}

Response CardModel::read_binary(const Apdu& apdu) {
  if (apdu.p1 & 0x80) return status(kNoSuchFunction);
  if (!current_ef_) return status(kNoCurrentEf);
  const FileEntry& file = profile_.files[*current_ef_];
  if (file.needs_pin && !pin_verified_) return status(kNoPin);
  if (!apdu.le || apdu.has_data) return status(kWrongLength);
  const std::size_t offset = static_cast<std::size_t>(apdu.p1 << 8 | apdu.p2);
  if (offset > file.data.size()) return status(kOffsetPastEnd);
  const std::size_t available = file.data.size() - offset;
  const std::size_t wanted = static_cast<std::size_t>(*apdu.le);
  const auto begin = file.data.begin() + static_cast<std::ptrdiff_t>(offset);
  if (wanted > available) {
    // Le 00 asks for "up to 256": what is there is a full answer.
    const uint16_t sw = wanted == 256 ? kOk : kEndOfFile;
    return Response{std::vector<uint8_t>(begin, file.data.end()), sw};
  }
  return Response{std::vector<uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(wanted)), kOk};
}

Response CardModel::update_binary(const Apdu& apdu) {
  if (apdu.p1 & 0x80) return status(kNoSuchFunction);
  if (!current_ef_) return status(kNoCurrentEf);
  FileEntry& file = profile_.files[*current_ef_];
  if (file.needs_pin && !pin_verified_) return status(kNoPin);
  if (!apdu.has_data) return status(kWrongLength);
  const std::size_t offset = static_cast<std::size_t>(apdu.p1 << 8 | apdu.p2);
  if (offset > file.data.size()) return status(kOffsetPastEnd);
  if (offset + apdu.data.size() > file.data.size()) return status(kNotEnoughRoom);
  std::copy(apdu.data.begin(), apdu.data.end(),
            file.data.begin() + static_cast<std::ptrdiff_t>(offset));
  return status(kOk);
}

Response CardModel::get_challenge(const Apdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return status(kWrongP1P2);
  if (!apdu.le || apdu.has_data) return status(kWrongLength);
  const std::size_t count = *apdu.le == 256 ? 8 : static_cast<std::size_t>(*apdu.le);
  std::vector<uint8_t> challenge;
  while (challenge.size() < count) {
    uint64_t word = next_random();
    for (int i = 0; i < 8 && challenge.size() < count; ++i, word >>= 8) {
      challenge.push_back(static_cast<uint8_t>(word));
    }
  }
  return Response{std::move(challenge), kOk};
}

// VERIFY: a wrong PIN costs one try (63 Cx, x tries left); with none left the
// PIN is blocked (69 83). Without data it reports the tries left.
Response CardModel::verify(const Apdu& apdu) {
  if (apdu.p1 != 0x00) return status(kWrongP1P2);
  if (profile_.pin.empty()) return status(kNoReferenceData);
  if (tries_left_ == 0) return status(kPinBlocked);
  if (!apdu.has_data) {
    return status(pin_verified_ ? kOk : static_cast<uint16_t>(0x63C0 | tries_left_));
  }
  if (std::equal(apdu.data.begin(), apdu.data.end(), profile_.pin.begin(), profile_.pin.end())) {
    pin_verified_ = true;
    tries_left_ = profile_.pin_tries;
    return status(kOk);
  }
  pin_verified_ = false;
  --tries_left_;
  return status(static_cast<uint16_t>(0x63C0 | (tries_left_ & 0x0F)));
}

// INTERNAL AUTHENTICATE: the 8-byte challenge encrypted with single DES under
// the card's key. The card's cipher is libcrypto's, so that a host checking
// the answer with its own DES compares two implementations.
Response CardModel::internal_authenticate(const Apdu& apdu) {
  if (!apdu.has_data || apdu.data.size() != 8) return status(kWrongLength);
  std::vector<uint8_t> out(8);
  // Single DES is all libcrypto calls deprecated; it is what the card does.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  DES_cblock key, in, result;
  std::copy(profile_.key.begin(), profile_.key.end(), key);
  std::copy(apdu.data.begin(), apdu.data.end(), in);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&key, &schedule);
  DES_ecb_encrypt(&in, &result, &schedule, DES_ENCRYPT);
#pragma GCC diagnostic pop
  std::copy(std::begin(result), std::end(result), out.begin());
  return Response{std::move(out), kOk};
}

Response CardModel::get_response(const Apdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return status(kWrongP1P2);
  if (!apdu.le || apdu.has_data) return status(kWrongLength);
  if (pending_.empty()) return status(kNoData);
  const std::size_t wanted = static_cast<std::size_t>(*apdu.le);
  if (wanted > pending_.size() && wanted != 256) {
    return status(static_cast<uint16_t>(0x6C00 | (pending_.size() & 0xFF)));
  }
  const std::size_t count = std::min(wanted, pending_.size());
  Response response{std::vector<uint8_t>(pending_.begin(), pending_.begin() + count), kOk};
  pending_.erase(pending_.begin(), pending_.begin() + count);
  if (!pending_.empty()) response.sw = static_cast<uint16_t>(0x6100 | (pending_.size() & 0xFF));
  return response;
}

}  // namespace vorkand::sim
