// Refusals of a scenario: where in the file ("FILE: at /json/pointer: ...")
// and the excerpts of what was found there.
#include "refusal.h"

#include <cstdio>

#include "printable.h"
#include "scenario.h"

namespace pelk_tool {

namespace {

// Cuts s to at most n bytes, not inside a UTF-8 sequence, marking the cut.
std::string cut(const std::string &s, size_t n) {
  if (s.size() <= n) return s;
  while (n > 0 && ((unsigned char)s[n] & 0xc0) == 0x80) --n;
  return s.substr(0, n) + "...";
}

}  // namespace

std::string child(const std::string &path, const std::string &key) {
  std::string seg;
  for (char c : key) {
    if (c == '~') seg += "~0";
    else if (c == '/') seg += "~1";
    else seg += c;
  }
  return path + "/" + printable(cut(seg, kExcerptBytes));
}
std::string child(const std::string &path, size_t index) { return path + "/" + std::to_string(index); }

std::string quote(const std::string &s) {
  return json(cut(s, kExcerptBytes)).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string excerpt(const json &j) {
  if (j.is_string()) return quote(j.get<std::string>());
  return printable(cut(j.dump(-1, ' ', false, json::error_handler_t::replace), kExcerptBytes));
}

std::string seconds_text(u64 ns) {
  char buf[48];
  if (ns % sim::kNsPerSec == 0) {
    snprintf(buf, sizeof buf, "%llu s", (unsigned long long)(ns / sim::kNsPerSec));
  } else {
    snprintf(buf, sizeof buf, "%llu.%09llu", (unsigned long long)(ns / sim::kNsPerSec),
             (unsigned long long)(ns % sim::kNsPerSec));
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    return s + " s";
  }
  return buf;
}

void Refuser::fail(const std::string &path, const std::string &what) const {
  throw ScenarioError(file_ + ": at " + (path.empty() ? std::string("the top level") : path) + ": " + what);
}

}  // namespace pelk_tool
