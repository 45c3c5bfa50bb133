// vorkand-serve's frame reader fed an arbitrary client stream in arbitrary
// pieces, compared with a model that reads the whole stream at once:
//   - it gives the same frames, in order, whatever the split;
//   - it refuses a length over the longest APDU before reading its body, and
//     then reads nothing more;
//   - the room it hands out is never empty and never reaches past the frame
//     under way, so no read takes a byte of the next frame.
// Input: byte 0 is the number N (0..15) of piece sizes that follow; the rest
// is the stream, read in pieces of those sizes in turn (0 counts as 1).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.h"
#include "frame_reader.h"

namespace {

using vorkand::fuzz::check;
using vorkand::serve::FrameReader;
using Frame = std::vector<uint8_t>;

struct Outcome {
  std::vector<Frame> frames;
  bool overlong = false;
  std::size_t consumed = 0;  // stream bytes taken in
};

Outcome model(const uint8_t* in, std::size_t n) {
  Outcome out;
  std::size_t at = 0;
  while (n - at >= 3) {
    const std::size_t length = in[at + 2];
    if (length > FrameReader::kMaxBody) {
      out.overlong = true;
      out.consumed = at + 3;
      return out;
    }
    if (n - at < length + 4) break;
    out.frames.emplace_back(in + at, in + at + length + 4);
    at += length + 4;
  }
  out.consumed = n;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t pieces = data[0] % 16;
  if (size < 1 + pieces) return 0;
  const uint8_t* sizes = data + 1;
  const uint8_t* stream = data + 1 + pieces;
  const std::size_t n = size - 1 - pieces;

  const Outcome expected = model(stream, n);
  Outcome got;
  FrameReader reader;
  std::size_t at = 0;
  std::size_t turn = 0;
  while (at < n) {
    const auto room = reader.space();
    check(!room.empty(), "no room handed out");
    check(room.size() <= FrameReader::kMaxFrame, "room past the longest frame",
          static_cast<long>(room.size()));
    const std::size_t wanted =
        pieces == 0 ? n - at : std::max<std::size_t>(1, sizes[turn++ % pieces]);
    const std::size_t take = std::min({wanted, room.size(), n - at});
    std::memcpy(room.data(), stream + at, take);
    at += take;
    const FrameReader::State state = reader.took(take);
    if (state == FrameReader::State::overlong) {
      got.overlong = true;
      check(reader.announced_length() > FrameReader::kMaxBody, "overlong at a length that fits");
      break;
    }
    if (state == FrameReader::State::frame) {
      const auto frame = reader.frame();
      check(frame.size() == std::size_t{frame[2]} + 4, "frame size not its length + 4");
      got.frames.emplace_back(frame.begin(), frame.end());
    }
  }
  got.consumed = at;
  check(got.frames == expected.frames, "frames differ from the model",
        static_cast<long>(got.frames.size()), static_cast<long>(expected.frames.size()));
  check(got.overlong == expected.overlong, "overlong differs from the model");
  check(got.consumed == expected.consumed, "read past an overlong header",
        static_cast<long>(got.consumed), static_cast<long>(expected.consumed));
  return 0;
}
