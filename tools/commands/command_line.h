// What every command of `pelk_perf_util` shares: its exit statuses, and the
// walk over its words ("--name=value" or "--name value", --help, usage
// errors).
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace pelk_tool {

// The exit statuses of every command (and of the live program).
enum Exit : int {
  kExitOk = 0,
  kExitFailure = 1,  // the work could not be done (module missing, a log unreadable, output not writable)
  kExitUsage = 2,    // bad arguments, or a scenario that was refused
};

// Prints "pelk_perf_util: MSG", then the command's usage; kExitUsage.
inline int usage_error(std::ostream &err, const std::string &msg, const char *usage) {
  err << "pelk_perf_util: " << msg << "\n\n" << usage;
  return kExitUsage;
}

// A command's words, one at a time: "--name=value" is split into the option
// and its value; anything else is the word itself.
class Words {
 public:
  explicit Words(const std::vector<std::string> &args) : args_(args) {}

  // Steps to the next word; false after the last.
  bool next() {
    if (++i_ >= args_.size()) return false;
    const std::string &w = args_[i_];
    size_t eq = w.find('=');
    given_ = w.rfind("--", 0) == 0 && eq != std::string::npos;
    name_ = given_ ? w.substr(0, eq) : w;
    value_ = given_ ? w.substr(eq + 1) : std::string();
    return true;
  }
  // The option ("--what"), or the whole word.
  const std::string &name() const { return name_; }
  bool is_help() const { return name_ == "--help" || name_ == "-h"; }
  // The value of an option that takes one: what followed '=', else the next
  // word (which is then used up); none when the words end first.
  std::optional<std::string> value() {
    if (given_) return value_;
    if (i_ + 1 >= args_.size()) return std::nullopt;
    return args_[++i_];
  }

 private:
  const std::vector<std::string> &args_;
  size_t i_ = (size_t)-1;
  std::string name_, value_;
  bool given_ = false;
};

}  // namespace pelk_tool
