// Calls per second of DesEncrypt and DesDecrypt with a new key on every call,
// against OpenSSL (DES_set_key_unchecked + DES_ecb_encrypt) and nettle
// (des_set_key + des_encrypt) over the same key and block sequence. The
// sequence cycles through 2^20 distinct keys, so no cache of key schedules
// could help anyone. After the run the time per call of each is printed as a
// ratio to OpenSSL's.
//
// The "part/" benchmarks time the pieces of one call inside the library:
// the key schedule alone, the sixteen rounds alone, and IP with IP^-1.
//
// Times are CPU time; on a shared machine run, for example,
//   des_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// and the summary takes the fastest repetition of each.
#include <benchmark/benchmark.h>
#include <nettle/des.h>
#include <openssl/des.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "des/cipher.h"
#include "vorkand.h"

namespace {

constexpr std::size_t kCount = std::size_t{1} << 20;

using Block = std::array<uint8_t, 8>;

uint64_t mix(uint64_t x) {  // splitmix64: a bijection, so distinct inputs stay distinct
  x += 0x9e3779b97f4a7c15u;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

Block to_block(uint64_t v) {
  Block b;
  for (std::size_t i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
  return b;
}

struct Inputs {
  std::vector<Block> keys;
  std::vector<Block> blocks;
  Inputs() {
    keys.reserve(kCount);
    blocks.reserve(kCount);
    for (uint64_t i = 0; i < kCount; ++i) {
      // Distinct in the 56 key bits that count, not only in the parity bits.
      const uint64_t k = mix(i) & ~uint64_t{0x0101010101010101};
      keys.push_back(to_block(k | (mix(~i) & 0x0101010101010101)));
      blocks.push_back(to_block(mix(i + kCount)));
    }
  }
};

const Inputs& inputs() {
  static const Inputs in;
  return in;
}

template <typename Call>
void run(benchmark::State& state, Call call) {
  const Inputs& in = inputs();
  Block out{};
  std::size_t i = 0;
  for (auto _ : state) {
    call(out.data(), in.blocks[i].data(), in.keys[i].data());
    benchmark::DoNotOptimize(out);
    i = (i + 1) & (kCount - 1);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_vorkand_encrypt(benchmark::State& state) {
  run(state, [](uint8_t* o, const uint8_t* b, const uint8_t* k) { DesEncrypt(o, b, k); });
}
void BM_vorkand_decrypt(benchmark::State& state) {
  run(state, [](uint8_t* o, const uint8_t* b, const uint8_t* k) { DesDecrypt(o, b, k); });
}

// const_DES_cblock is not const in libcrypto's header; it only reads it.
const_DES_cblock* cblock(const uint8_t* p) {
  return reinterpret_cast<const_DES_cblock*>(const_cast<uint8_t*>(p));
}

void openssl_call(uint8_t* o, const uint8_t* b, const uint8_t* k, int direction) {
  DES_key_schedule schedule;
  DES_set_key_unchecked(cblock(k), &schedule);
  DES_ecb_encrypt(cblock(b), reinterpret_cast<DES_cblock*>(o), &schedule, direction);
}
void BM_openssl_encrypt(benchmark::State& state) {
  run(state,
      [](uint8_t* o, const uint8_t* b, const uint8_t* k) { openssl_call(o, b, k, DES_ENCRYPT); });
}
void BM_openssl_decrypt(benchmark::State& state) {
  run(state,
      [](uint8_t* o, const uint8_t* b, const uint8_t* k) { openssl_call(o, b, k, DES_DECRYPT); });
}

void BM_nettle_encrypt(benchmark::State& state) {
  run(state, [](uint8_t* o, const uint8_t* b, const uint8_t* k) {
    des_ctx ctx;
    des_set_key(&ctx, k);
    des_encrypt(&ctx, 8, o, b);
  });
}
void BM_nettle_decrypt(benchmark::State& state) {
  run(state, [](uint8_t* o, const uint8_t* b, const uint8_t* k) {
    des_ctx ctx;
    des_set_key(&ctx, k);
    des_decrypt(&ctx, 8, o, b);
  });
}

// OpenSSL with one key schedule for every block: its cost of the rounds and
// permutations alone.
void BM_openssl_encrypt_fixed_key(benchmark::State& state) {
  DES_key_schedule schedule;
  DES_set_key_unchecked(cblock(inputs().keys[0].data()), &schedule);
  run(state, [&schedule](uint8_t* o, const uint8_t* b, const uint8_t*) {
    DES_ecb_encrypt(cblock(b), reinterpret_cast<DES_cblock*>(o), &schedule, DES_ENCRYPT);
  });
}

// ---- The parts of one call (inlined from the library's own code) ----------

namespace cipher = vorkand::des::cipher;

void BM_part_key_schedule(benchmark::State& state) {
  const Inputs& in = inputs();
  std::size_t i = 0;
  for (auto _ : state) {
    cipher::RoundKeys keys = cipher::key_schedule(in.keys[i]);
    benchmark::DoNotOptimize(keys);
    i = (i + 1) & (kCount - 1);
  }
}

void BM_part_rounds(benchmark::State& state) {
  const Inputs& in = inputs();
  const cipher::RoundKeys keys = cipher::key_schedule(in.keys[0]);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto h = cipher::rounds<vorkand::des::Direction::encrypt>(
        {cipher::load_be32(&in.blocks[i][0]), cipher::load_be32(&in.blocks[i][4])}, keys);
    benchmark::DoNotOptimize(h);
    i = (i + 1) & (kCount - 1);
  }
}

void BM_part_permutations(benchmark::State& state) {
  const Inputs& in = inputs();
  std::size_t i = 0;
  for (auto _ : state) {
    auto h = vorkand::des::fast::initial_permutation(
        {cipher::load_be32(&in.blocks[i][0]), cipher::load_be32(&in.blocks[i][4])});
    h = vorkand::des::fast::final_permutation({h.right, h.left});
    benchmark::DoNotOptimize(h);
    i = (i + 1) & (kCount - 1);
  }
}

BENCHMARK(BM_vorkand_encrypt);
BENCHMARK(BM_openssl_encrypt);
BENCHMARK(BM_nettle_encrypt);
BENCHMARK(BM_vorkand_decrypt);
BENCHMARK(BM_openssl_decrypt);
BENCHMARK(BM_nettle_decrypt);
BENCHMARK(BM_openssl_encrypt_fixed_key);
BENCHMARK(BM_part_key_schedule);
BENCHMARK(BM_part_rounds);
BENCHMARK(BM_part_permutations);

// Console output as usual, and each benchmark's CPU time per iteration kept
// by name (CPU time, because the machine may be shared).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        const double ns = run.GetAdjustedCPUTime() *
                          benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                          benchmark::GetTimeUnitMultiplier(run.time_unit);
        // With repetitions, the fastest: the one least disturbed by others.
        const std::string name = run.run_name.function_name;
        const auto it = ns_.find(name);
        if (it == ns_.end() || ns < it->second) ns_[name] = ns;
      }
    }
  }

  void PrintSummary() const {
    std::printf("\nTime per call as a ratio to OpenSSL (new key every call):\n");
    for (const char* direction : {"encrypt", "decrypt"}) {
      const double openssl = Lookup(std::string("BM_openssl_") + direction);
      if (openssl <= 0) continue;
      for (const char* who : {"vorkand", "nettle"}) {
        const double t = Lookup(std::string("BM_") + who + "_" + direction);
        if (t > 0) {
          std::printf("  %-8s %-7s %7.1f ns  %5.2f x OpenSSL (%.1f ns)\n", who, direction, t,
                      t / openssl, openssl);
        }
      }
    }
    std::printf("Parts of one library call (overlapping in the real call):\n");
    for (const char* part : {"key_schedule", "rounds", "permutations"}) {
      const double t = Lookup(std::string("BM_part_") + part);
      if (t > 0) std::printf("  %-13s %7.1f ns\n", part, t);
    }
    const double fixed = Lookup("BM_openssl_encrypt_fixed_key");
    if (fixed > 0) std::printf("  (OpenSSL with one key for all blocks: %.1f ns)\n", fixed);
  }

 private:
  double Lookup(const std::string& name) const {
    const auto it = ns_.find(name);
    return it == ns_.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  inputs();  // build the key and block sequence before any timing
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
