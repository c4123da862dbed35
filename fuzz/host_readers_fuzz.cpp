// libFuzzer target for the live backend's readers of proc files: one stat
// line of a task (/proc/PID/stat, /proc/PID/task/TID/stat) and a CPU list
// (/sys/devices/system/cpu/online, possible).  The first byte picks the
// reader.  Any bytes must give a parse or a refusal; a crash, undefined
// behaviour or a read out of bounds is a finding.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  // An exact-size copy: a read past the end is caught by ASan.
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (data[0] & 1) {
    std::uint32_t mask = 0;
    (void)host::parse_cpu_list(text, &mask);
  } else {
    char *buf = new char[text.size() ? text.size() : 1];
    std::memcpy(buf, text.data(), text.size());
    host::StatLine st;
    if (host::parse_stat_line(buf, text.size(), &st) && std::strlen(st.comm) > 15) __builtin_trap();
    delete[] buf;
  }
  return 0;
}
