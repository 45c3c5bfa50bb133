// vorkand: the command-line tool over the library (and its reader simulator).
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include <cstring>
#include <optional>
#include <regex>
#include <string_view>

#include "cli/commands.h"
#include "cli/globals.h"
#include "cli/session.h"
#include "cli/system.h"
#include "cli/trace_option.h"
#include "vorkand.h"

namespace {

using namespace vorkand::cli;

// What was typed that the parser did not know, named as such: an option, a
// command, or a word after a command that takes no more.
std::string unknown_words(const std::vector<std::string>& words, bool command_given,
                          const std::string& names) {
  for (const std::string& word : words) {
    if (word.rfind('-', 0) == 0 && word.size() > 1) return fmt::format("unknown option '{}'", word);
  }
  if (command_given) return fmt::format("unexpected argument '{}'", words.front());
  return fmt::format("unknown command '{}'; the commands are {}", words.front(), names);
}

// "demo, sim, ... or watch".
std::string command_names(const std::vector<Command>& commands) {
  std::string names;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (i > 0) names += i + 1 == commands.size() ? " or " : ", ";
    names += commands[i].app->get_name();
  }
  return names;
}

// The parser's complaint in the tool's words: the option it names and what
// that option takes, never the parser's own text or type strings.
std::string own_parse_error(const CLI::ParseError& error) {
  const std::string what = error.what();
  std::smatch found;
  static const std::regex kName(R"((--[a-z][-a-z]*)|^(apdu|hex|file|direction|data)\b)");
  if (!std::regex_search(what, found, kName)) return what;
  const std::string name = found[0];
  const char* words = option_words(name);
  const std::string shown = words == nullptr ? name
                            : name[0] == '-' ? name + " " + words
                                             : std::string(words);
  if (dynamic_cast<const CLI::RequiresError*>(&error) != nullptr) {
    return fmt::format("{} goes only with {}", name,
                       what.substr(what.rfind(' ') == std::string::npos ? 0 : what.rfind(' ') + 1));
  }
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) return shown + " is required";
  return name[0] == '-' ? fmt::format("{} wants {}", name, words == nullptr ? "a value" : words)
                        : fmt::format("{}: not {}", name, shown);
}

// "send " when a command was typed (its help is the one to read), else "".
std::string typed_command(int argc, char** argv, CLI::App& app) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    for (const CLI::App* command : app.get_subcommands({})) {
      if (command->get_name() == argv[i]) return command->get_name() + " ";
    }
  }
  return {};
}

bool wants_json(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--json") == 0 || std::strcmp(argv[i], "-j") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vorkand: drive a smart-card reader on a serial port (or the built-in simulator)"};
  app.require_subcommand(0, 1);
  app.fallthrough();
  app.allow_extras();

  Globals globals;
  add_global_options(app, globals);

  // In the order the help lists them.
  const std::vector<Command> commands{add_demo(app),    add_sim(app),    add_atr(app),
                                      add_send(app),    add_script(app), add_des(app),
                                      add_readers(app), add_watch(app)};
  const std::string names = command_names(commands);
  const Command* chosen = nullptr;

  for (CLI::App* command : app.get_subcommands({})) command->allow_extras();
  list_global_options(app);

  std::string parse_error;
  try {
    app.parse(argc, argv);
    for (const Command& command : commands) {
      if (*command.app) chosen = &command;
    }
    // `--` ends the options: the parser hands the words after it to the
    // command's arguments and leaves the marker itself over.
    auto extras = app.remaining(true);
    std::erase(extras, std::string("--"));
    if (!extras.empty() && !(chosen && chosen->takes_any_words)) {
      parse_error = unknown_words(extras, chosen != nullptr, names);
    }
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    parse_error = own_parse_error(e);
  }

  const auto out = globals.json || wants_json(argc, argv) ? make_json_output()
                                                          : make_text_output(colour_wanted());
  if (!parse_error.empty()) {
    return out->finish(out->fail(kExitUsage, fmt::format("{} (see vorkand {}--help)", parse_error,
                                                         typed_command(argc, argv, app))));
  }
  if (globals.version) {
    out->version(VORKAND_VERSION_STRING, VORKAND_VERSION_STRING);
    return out->finish(kExitOk);
  }
  if (!chosen) {
    return out->finish(out->fail(
        kExitUsage, fmt::format("a command is required: {} (see vorkand --help)", names)));
  }

  const auto port = normalise_port(globals.port);
  if (!port) return out->finish(out->fail(kExitUsage, "--port wants COM1, COM2, COM3 or COM4"));
  if (!globals.reader.empty()) {
    if (!globals.device.empty()) {
      return out->finish(
          out->fail(kExitUsage, "--device and --reader both map the port: give one"));
    }
    const PickedReader picked = pick_reader(globals.reader);
    if (!picked.error.empty()) return out->finish(out->fail(kExitUsage, picked.error));
    globals.device = picked.mapping;
  }
  if (!globals.device.empty()) set_variable(port_variable(*port), globals.device);
  const Context context{*port, globals.atr_list, *out};
  // Shows the library's own trace until the command returns.
  std::optional<TraceView> trace_view;
  if (globals.trace) trace_view.emplace();

  int status = kExitUsage;
  try {
    status = chosen->run(context);
  } catch (const std::exception& e) {
    status = out->fail(kExitFailure, e.what());
  }
  return out->finish(status);
}
