// How the scenario reader and checker refuse a scenario: at a place of the
// file, with a short, printable excerpt of what was found there.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace pelk_tool {

using json = nlohmann::json;

// Refusals: "FILE: at /json/pointer: what is wrong", thrown as ScenarioError.
class Refuser {
 public:
  explicit Refuser(std::string file) : file_(std::move(file)) {}
  [[noreturn]] void fail(const std::string &path, const std::string &what) const;
  const std::string &file() const { return file_; }

 private:
  std::string file_;
};

// A JSON pointer segment, escaped; a long key is cut to an excerpt.
std::string child(const std::string &path, const std::string &key);
std::string child(const std::string &path, size_t index);
// A string as messages quote it: in double quotes, control bytes escaped,
// at most kExcerptBytes of it.
std::string quote(const std::string &s);
// A value as messages show it: a short excerpt of its JSON text.
std::string excerpt(const json &j);
// Seconds as they appear in messages: "30 s", "2.5 s".
std::string seconds_text(std::uint64_t ns);

}  // namespace pelk_tool
