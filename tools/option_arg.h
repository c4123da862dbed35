// One command-line word as the subcommands read it: "--name=value" is split
// into the option and its value; anything else is the word itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelk_tool {

struct OptionArg {
  std::string name;   // the option ("--what"), or the whole word
  std::string value;  // what followed '=', when has_value
  bool has_value = false;
};

inline OptionArg split_option(const std::string &word) {
  OptionArg o{word, "", false};
  size_t eq = word.find('=');
  if (word.rfind("--", 0) == 0 && eq != std::string::npos) {
    o.name = word.substr(0, eq);
    o.value = word.substr(eq + 1);
    o.has_value = true;
  }
  return o;
}

// The value of an option that takes one: what followed '=', else the next
// word of args (i then stands on it); none when args end first.
inline std::optional<std::string> option_value(const OptionArg &o, const std::vector<std::string> &args, size_t &i) {
  if (o.has_value) return o.value;
  if (i + 1 >= args.size()) return std::nullopt;
  return args[++i];
}

}  // namespace pelk_tool
