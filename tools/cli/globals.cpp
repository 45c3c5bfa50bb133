#include "cli/globals.h"

#include <fmt/format.h>

namespace vorkand::cli {

void add_global_options(CLI::App& app, Globals& globals) {
  app.add_option("--port", globals.port, "the port the library opens: COM1..COM4 (default COM1)");
  app.add_option("-d,--device", globals.device,
                 "map that COM port to this device for this run: a path, pcsc:NAME, "
                 "tcp://HOST:PORT, tls://HOST:PORT, rfc2217://HOST:PORT or rfc2217s://HOST:PORT");
  app.add_option("-r,--reader", globals.reader,
                 "map that COM port to a PC/SC reader for this run: its number as `vorkand "
                 "readers` lists them, or a part of its name");
  app.add_flag("-j,--json", globals.json, "machine-readable output: one JSON object");
  app.add_option("--atr-list", globals.atr_list,
                 "the list of known ATRs (default /usr/share/pcsc/smartcard_list.txt)");
  app.add_flag("--trace", globals.trace,
               "show the library's frames on stderr, with milliseconds since the command started");
  app.add_flag("-V,--version", globals.version, "print the tool's and the library's version");
}

void list_global_options(CLI::App& app) {
  std::string text = "Global options (before or after the command):\n";
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_name() == "--help") continue;
    const std::string type = option->get_type_name();
    std::string name;
    for (const std::string& alias : option->get_snames()) name += "-" + alias + ", ";
    name += option->get_name();
    if (option->get_expected_min() > 0 && !type.empty()) name += " " + type;
    text += fmt::format("  {:<22}{}\n", name, option->get_description());
  }
  for (CLI::App* command : app.get_subcommands({})) command->footer(text);
}

}  // namespace vorkand::cli
