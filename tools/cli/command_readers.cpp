// `vorkand readers`: what COM1..COM4 map to and whether each opens now, then
// the PC/SC readers with their card state and ATR.
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/open_reason.h"
#include "cli/pcsc_readers.h"
#include "cli/status_words.h"
#include "vorkand.h"

namespace vorkand::cli {

int run_readers(const Context& context, bool probe) {
  std::vector<PortState> ports;
  for (std::string_view port_name : kPorts) {
    const std::string name(port_name);
    PortState port;
    port.port = name;
    port.mapping = port_mapping(name);
    port.source = port_source(name);
    const Opened opened = open_with_reason(name);
    port.opens = opened.handle != 0;
    if (port.opens) {
      if (probe) {
        const auto sw = static_cast<uint16_t>(CT_reset(opened.handle));
        port.reader_answers = sw == kSwOk;
        port.reader_state = fmt::format("{}  {}", format_sw(sw), status_meaning(sw));
      }
      CT_close(opened.handle);
    } else {
      port.why = open_failure(port.mapping, opened.reason);
    }
    ports.push_back(std::move(port));
  }
  context.out.readers(ports, list_pcsc_readers());
  return kExitOk;
}

Command add_readers(CLI::App& app) {
  auto probe = std::make_shared<bool>(false);
  CLI::App* readers = app.add_subcommand(
      "readers", "what COM1..COM4 map to and whether they open; the PC/SC readers");
  readers->add_flag("--probe", *probe,
                    "send each COM port that opens a reader reset, to see whether a reader "
                    "answers");
  return {readers, [probe](const Context& context) { return run_readers(context, *probe); }};
}

}  // namespace vorkand::cli
