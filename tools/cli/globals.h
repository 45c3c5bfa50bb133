// The options every command takes, before or after the command's name.
// Another global option is one more line in add_global_options (and a field
// here); each command's help lists them all.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace vorkand::cli {

struct Globals {
  std::string port = "COM1";
  std::string device;
  std::string reader;  // a PC/SC reader by number or name, instead of --device
  bool json = false;
  std::string atr_list;
  bool version = false;
  bool trace = false;
};

void add_global_options(CLI::App& app, Globals& globals);

// Puts the global options in the help of each of app's subcommands, and
// every option's value in the tool's words ("N (0-20)") in place of the
// parser's type strings.
void list_global_options(CLI::App& app);

// What the option (or positional argument) of that name takes, as the help
// says it; nothing for a flag.
const char* option_words(const std::string& name);

}  // namespace vorkand::cli
