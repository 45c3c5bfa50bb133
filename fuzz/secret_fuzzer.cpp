// The traces' rule for reference data (PINs and the like), fed arbitrary
// frames and APDUs, each in a heap block of exactly its size so that ASan
// sees any read past it:
//   - the secret of a frame and of an APDU lies inside it;
//   - it covers exactly the data bytes (after Lc) of an APDU whose INS
//     carries reference data, in a card frame (head 00 or 40) whatever its
//     class, mode and trailer, also when the length byte claims more than
//     the frame holds; nothing for any other frame or INS;
//   - a trace line written with the secret shows each of those bytes as
//     "**" and every other byte in hex, in order, or is cut with "...".
#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "check.h"
#include "link/reference_data.h"
#include "link/trace/trace.h"

namespace {

using vorkand::fuzz::check;
namespace wire = vorkand::wire;

constexpr bool model_reference_ins(uint8_t ins) {
  switch (ins) {
    case 0x20:  // VERIFY
    case 0x21:
    case 0x24:  // CHANGE REFERENCE DATA
    case 0x25:
    case 0x26:  // DISABLE VERIFICATION REQUIREMENT
    case 0x28:  // ENABLE VERIFICATION REQUIREMENT
    case 0x2C:  // RESET RETRY COUNTER
    case 0x2D:
      return true;
    default:
      return false;
  }
}

// [from, to) of the APDU's data when it is reference data.
wire::Secret model_apdu(const uint8_t* apdu, std::size_t n) {
  if (n > 5 && model_reference_ins(apdu[1])) return {5, n};
  return {};
}

wire::Secret model_frame(const uint8_t* frame, std::size_t n) {
  if (n < 4 || (frame[0] != 0x00 && frame[0] != 0x40)) return {};
  // The body: what the length byte names, as far as the frame holds it.
  const std::size_t body = std::min<std::size_t>(frame[2], n - 3);
  const wire::Secret in_apdu = model_apdu(frame + 3, body);
  if (in_apdu.from == in_apdu.to) return {};
  return {3 + in_apdu.from, 3 + in_apdu.to};
}

// The trace line's hex as the rule says it must read.
void check_line(std::span<const uint8_t> bytes, wire::Secret secret) {
  vorkand::link::TraceLine line;
  line.text("0.000001 COM1 1 > ").hex(bytes, secret);
  const std::span<const char> out = line.finish();
  std::string expected = "0.000001 COM1 1 > ";
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) expected += ' ';
    if (i >= secret.from && i < secret.to) {
      expected += "**";
    } else {
      expected += kDigits[bytes[i] >> 4];
      expected += kDigits[bytes[i] & 0xF];
    }
  }
  const std::string_view got(out.data(), out.size());
  check(got.size() <= vorkand::link::TraceLine::kRoom + 4 && got.back() == '\n', "trace line size",
        static_cast<long>(got.size()));
  if (got.ends_with("...\n")) {
    const std::string_view kept = got.substr(0, got.size() - 4);
    check(expected.starts_with(kept), "a cut trace line differs");
    check(expected.size() > kept.size(), "a trace line cut that fits");
  } else {
    check(got.substr(0, got.size() - 1) == expected, "trace line");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The input as a frame, and, past its first byte, as an APDU alone.
  auto frame = std::make_unique<uint8_t[]>(size);
  std::memcpy(frame.get(), data, size);
  const std::span<const uint8_t> f(frame.get(), size);
  const wire::Secret s = wire::secret_in_frame(f);
  const wire::Secret m = model_frame(frame.get(), size);
  check(s.from <= s.to && s.to <= size, "frame secret outside the frame", long(s.from), long(s.to));
  check((s.from == s.to) == (m.from == m.to), "frame secret where none is, or none where one is",
        long(s.to - s.from), long(m.to - m.from));
  if (m.from != m.to) {
    check(s.from == m.from && s.to == m.to, "frame secret misses data bytes", long(s.from),
          long(s.to));
  }
  check_line(f, s);

  if (size >= 1) {
    const std::size_t n = size - 1;
    auto apdu = std::make_unique<uint8_t[]>(n);
    std::memcpy(apdu.get(), data + 1, n);
    const wire::Secret a = wire::secret_in_apdu(std::span<const uint8_t>(apdu.get(), n));
    const wire::Secret ma = model_apdu(apdu.get(), n);
    check(a.from <= a.to && a.to <= n, "APDU secret outside the APDU", long(a.from), long(a.to));
    check((a.from == a.to && ma.from == ma.to) || (a.from == ma.from && a.to == ma.to),
          "APDU secret", long(a.from), long(a.to));
  }
  return 0;
}
