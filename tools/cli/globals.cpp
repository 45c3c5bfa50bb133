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

namespace {

// What each option takes, in the tool's words: the help shows these, never
// the parser's type strings, and usage errors say them.
struct Words {
  const char* name;
  const char* words;
};
constexpr Words kWords[] = {
    {"--port", "COMn"},
    {"--device", "DEVICE"},
    {"--reader", "N|NAME"},
    {"--atr-list", "FILE"},
    {"--direction", "0|1"},
    {"--protocol", "0|1"},
    {"--count", "N (1 or more)"},
    {"--probe-serial", "SECONDS (1-3600)"},
    {"--atr", "t0|t1|HEX"},
    {"--seed", "N"},
    {"--card", "FILE"},
    {"--busy", "N (0-20)"},
    {"--fault", "FAULT"},
    {"--replay", "TRACE"},
    {"--handle", "N"},
    {"--key", "HEX"},
    {"apdu", "APDU..."},
    {"hex", "HEX..."},
    {"file", "FILE|-"},
    {"direction", "encrypt|decrypt"},
    {"data", "HEX..."},
};

void own_words(CLI::App& app) {
  for (CLI::Option* option : app.get_options()) {
    for (const Words& words : kWords) {
      if (option->get_name() == words.name) option->option_text(words.words);
    }
  }
}

}  // namespace

const char* option_words(const std::string& name) {
  for (const Words& words : kWords) {
    if (name == words.name) return words.words;
  }
  return nullptr;
}

void list_global_options(CLI::App& app) {
  own_words(app);
  for (CLI::App* command : app.get_subcommands({})) own_words(*command);
  // The simulator's commands use the port only for its name, and write text
  // or JSON: only those global options are theirs.
  const auto listing = [&](bool simulator) {
    std::string text = "Global options (before or after the command):\n";
    for (const CLI::Option* option : app.get_options()) {
      if (option->get_name() == "--help") continue;
      if (simulator && option->get_name() != "--port" && option->get_name() != "--json") continue;
      const std::string type = option->get_option_text();
      std::string name;
      for (const std::string& alias : option->get_snames()) name += "-" + alias + ", ";
      name += option->get_name();
      if (!type.empty()) name += " " + type;
      text += fmt::format("  {:<22}{}\n", name, option->get_description());
    }
    return text;
  };
  for (CLI::App* command : app.get_subcommands({})) {
    const std::string& name = command->get_name();
    command->footer(listing(name == "sim" || name == "demo"));
  }
}

}  // namespace vorkand::cli
