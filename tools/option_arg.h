// One command-line word as the subcommands read it: "--name=value" is split
// into the option and its value; anything else is the word itself.
#pragma once

#include <string>

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

}  // namespace pelk_tool
