// libFuzzer target for the live backend's readers of proc files: any bytes
// are read as a stat line, a CPU list, /proc/stat and an oom_score_adj file.
// Each either refuses or gives values inside its contract; never a crash,
// undefined behaviour or a read past the bytes given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // A copy of exactly the given size, so that a read past its end is caught.
  std::unique_ptr<char[]> exact(new char[size ? size : 1]);
  std::memcpy(exact.get(), data, size);
  const std::string text(exact.get(), size);

  host::StatLine s;
  if (host::parse_stat_line(exact.get(), size, &s)) {
    if (s.pid <= 0 || s.comm[15] != '\0' || std::strlen(s.comm) > 15) std::abort();
  }
  std::uint32_t mask = 0xdeadbeef;
  if (!host::parse_cpu_list(text, &mask) && mask != 0xdeadbeef) std::abort();  // refused, untouched
  host::CpuTicks ticks[host::kProcCpus];
  std::uint32_t present = host::parse_proc_stat(text, ticks);
  for (int cpu = 0; cpu < host::kProcCpus; cpu++)
    if (!(present >> cpu & 1u))
      for (std::uint64_t t : ticks[cpu].ticks)
        if (t) std::abort();  // a CPU not found has no counters
  short adj = 12345;
  if (host::parse_oom_score_adj(text, &adj) ? adj < -1000 || adj > 1000 : adj != 12345) std::abort();
  return 0;
}
