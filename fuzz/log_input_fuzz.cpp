// libFuzzer target for the reading of log files as `parse` and `plot` do it:
// any bytes, as a file, are told apart (plain text, a compressed stream, a
// zip or tar archive), unpacked and read as logs.  Damage is reported, never
// a crash, undefined behaviour, a hang or memory without bound.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "log_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static int fd = memfd_create("log", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) std::abort();
  std::ostringstream err;
  std::uint64_t damaged = 0;
  auto sink_for = [](const std::string &) {
    pelk_tool::LogSink sink;
    sink.cycle = [](const pelk_tool::Cycle &c) { (void)c.total_load(); (void)c.missing(); };
    sink.threads = [](const pelk_tool::ThreadList &) {};
    sink.health = [](const pelk_tool::HealthLine &) {};
    sink.device = [](const std::string &) {};
    return sink;
  };
  pelk_tool::read_logs({path}, sink_for, err, &damaged);
  return 0;
}
