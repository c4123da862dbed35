// libFuzzer target for the kernel-log reader of `pelk_perf_util parse`: any
// bytes, fed in two pieces split where the first byte says, are read as a
// log; damaged lines are counted, never a crash, undefined behaviour or a
// hang.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "log_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const char *text = reinterpret_cast<const char *>(data) + 1;
  size_t n = size - 1, cut = n ? data[0] % (n + 1) : 0;
  std::ostringstream err;
  pelk_tool::LogSink sink;
  sink.cycle = [](const pelk_tool::Cycle &c) { (void)c.total_load(); (void)c.missing(); };
  sink.threads = [](const pelk_tool::ThreadList &) {};
  sink.health = [](const pelk_tool::HealthLine &) {};
  sink.device = [](const std::string &) {};
  pelk_tool::LogParser p(sink, "fuzz.log", err);
  p.feed(text, cut);
  p.feed(text + cut, n - cut);
  p.finish();
  return 0;
}
