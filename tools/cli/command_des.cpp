// `vorkand des`: the library's DES in ECB over whole 8-byte blocks.
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/hex_input.h"
#include "vorkand.h"

namespace vorkand::cli {

int run_des(const Context& context, const DesSettings& settings) {
  Output& out = context.out;
  const bool encrypt = settings.direction == "encrypt";
  // Text that is not hex says where it breaks; hex of the wrong length how
  // long it is.
  const auto key_read = read_hex(settings.key);
  if (const auto* error = std::get_if<std::string>(&key_read)) {
    return out.fail(kExitUsage, "--key: " + *error);
  }
  const Bytes& key = std::get<Bytes>(key_read);
  if (key.size() != 8) {
    return out.fail(kExitUsage, fmt::format("--key wants exactly 8 hex bytes, not {}", key.size()));
  }
  std::vector<Bytes> outputs;
  for (const std::string& text : settings.blocks) {
    const auto read = read_hex(text);
    if (const auto* error = std::get_if<std::string>(&read)) return out.fail(kExitUsage, *error);
    const Bytes& data = std::get<Bytes>(read);
    if (data.empty() || data.size() % 8 != 0) {
      return out.fail(
          kExitUsage,
          fmt::format("'{}' is not whole 8-byte blocks of hex (ECB, no padding)", text));
    }
    Bytes result(data.size());
    for (std::size_t at = 0; at < data.size(); at += 8) {
      if (encrypt)
        DesEncrypt(result.data() + at, data.data() + at, key.data());
      else
        DesDecrypt(result.data() + at, data.data() + at, key.data());
    }
    outputs.push_back(std::move(result));
  }
  out.des(encrypt, outputs);
  return kExitOk;
}

Command add_des(CLI::App& app) {
  auto settings = std::make_shared<DesSettings>();
  CLI::App* des = app.add_subcommand("des", "DES in ECB over whole 8-byte blocks");
  des->add_option("direction", settings->direction, "encrypt or decrypt")
      ->required()
      ->check(CLI::IsMember({"encrypt", "decrypt"}));
  des->add_option("--key", settings->key, "the 8-byte key in hex")->required();
  des->add_option("data", settings->blocks, "data in hex, a multiple of 8 bytes an argument")
      ->required();
  return {des, [settings](const Context& context) { return run_des(context, *settings); }};
}

}  // namespace vorkand::cli
