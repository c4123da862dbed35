// A simulated phone with the pelk_perf_util module loaded, and ways to read
// back what the module logged, cycle by cycle.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/sim.h"

extern "C" {
// The simulated kernel's export lookup, as the simulator program uses it.
void *__symbol_get(const char *name);
void __symbol_put(const char *name);
}

namespace pelk_test {

constexpr sim::u64 kSec = sim::kNsPerSec;
constexpr sim::u64 kMs = sim::kNsPerMs;
constexpr sim::u64 kTick = 10 * kMs;  // one USER_HZ clock tick
constexpr const char *kModule = "pelk_perf_util";
constexpr const char *kProcFile = "/proc/cpumonitor/cpu_monitor";
constexpr unsigned long long kHealthFeature = 901060000029ULL;
constexpr unsigned long long kZebFeature = 541860000033ULL;

inline std::string strf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string strf(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// The top-ten table as it must read, written out independently of the module.
inline std::string top_header(int period_ms, int cpus) {
  return strf("[K]     Usage          PID        %20s          Total:%d(ms)*%d       Oom_Score_Adj",
              "Name", period_ms, cpus);
}
inline std::string top_row(unsigned long long usage, int pid, const char *name,
                           unsigned long long delta_ns, int oom) {
  return strf("[K] %8llu%%        %5d        %20s          %11llu(ns)          %5d", usage, pid,
              name, delta_ns, oom);
}
inline std::string empty_row() { return top_row(0, 0, "NULL", 0, 0); }

struct Cycle {
  sim::u64 ts_ns = 0;
  std::vector<std::string> lines;  // texts from the start line to the done line
};

// The modem's block as the modem fills it: 512 bytes, little-endian, a magic
// word at either end, the slept times from byte 56 on.
constexpr std::uint32_t kModemMagic = 0x536C702E;
struct ModemBlock {
  unsigned char b[512] = {};
  ModemBlock() { put(0, kModemMagic, 4).put(508, kModemMagic, 4); }
  ModemBlock &put(size_t off, unsigned long long v, int n) {
    for (int i = 0; i < n; i++) b[off + i] = (unsigned char)(v >> (8 * i));
    return *this;
  }
  ModemBlock &sleep(const std::array<unsigned long long, 5> &s) {
    for (int i = 0; i < 5; i++) put(56 + 8 * i, s[i], 8);
    return *this;
  }
};

// The test modem module's entry points (tests/test_modules/test_modem_user.cpp),
// held through the kernel's export lookup while a test uses them.
struct TestModemUser {
  int (*write)(unsigned, const void *, unsigned) = nullptr;
  void (*hand_over)(int) = nullptr;
  void (*read)(void *, void *) = nullptr;

  // Loads the module into k and takes its entry points; false if any is missing.
  bool take(sim::Kernel &k) {
    if (k.insmod(std::string(PELK_TEST_MODULE_DIR) + "/test_modem_user.so") != 0) return false;
    write = (int (*)(unsigned, const void *, unsigned))__symbol_get("test_modem_write");
    hand_over = (void (*)(int))__symbol_get("test_modem_hand_over");
    read = (void (*)(void *, void *))__symbol_get("test_modem_read");
    return write && hand_over && read;
  }
  // Puts the entry points back and unloads the module, if it was loaded.
  void release(sim::Kernel *k) {
    if (write) {
      __symbol_put("test_modem_write");
      __symbol_put("test_modem_hand_over");
      __symbol_put("test_modem_read");
      write = nullptr;
    }
    if (k && k->module_loaded("test_modem_user")) {
      EXPECT_EQ(0, k->rmmod("test_modem_user"));
    }
  }
};

class ModuleHarness : public ::testing::Test {
 protected:
  // Starts the kernel; call load() afterwards (tests may add faults between).
  void boot(const sim::Config &cfg = sim::Config()) {
    k_.reset();  // one simulated kernel at a time
    k_ = std::make_unique<sim::Kernel>(cfg);
  }

  void load(const std::string &params = "") {
    if (!k_) boot();
    ASSERT_EQ(0, k_->insmod(PELK_MODULE_PATH, params));
  }

  void TearDown() override {
    if (k_ && k_->module_loaded(kModule)) {
      EXPECT_EQ(0, k_->rmmod(kModule));
    }
    if (k_) {
      EXPECT_EQ(std::vector<std::string>{}, k_->violations());
    }
  }

  sim::Kernel &k() { return *k_; }

  // Texts of every log record from index `from` on.
  std::vector<std::string> texts(size_t from = 0) const {
    std::vector<std::string> out;
    const auto &log = k_->log();
    for (size_t i = from; i < log.size(); i++) out.push_back(log[i].text);
    return out;
  }

  // The first record from index `from` on whose text starts with `prefix`, as
  // "<level>text" with "\n" if the call ended in one; "" if there is none.
  std::string logged(const std::string &prefix, size_t from = 0) const {
    const auto &log = k_->log();
    for (size_t i = from; i < log.size(); i++)
      if (log[i].text.rfind(prefix, 0) == 0)
        return strf("<%d>", log[i].level) + log[i].text + (log[i].newline ? "\n" : "");
    return "";
  }

  // The report blocks logged so far, each from its start line to its done line.
  std::vector<Cycle> cycles() const {
    std::vector<Cycle> out;
    bool in = false;
    for (const auto &r : k_->log()) {
      if (r.text.rfind("[K][Perf] PELK Perf Statistic start", 0) == 0) {
        out.push_back(Cycle{r.ts_ns, {}});
        in = true;
      }
      if (in) out.back().lines.push_back(r.text);
      if (r.text == "[K][Perf] PELK Perf Statistic done") in = false;
    }
    return out;
  }

  Cycle last_cycle() const {
    auto all = cycles();
    EXPECT_FALSE(all.empty());
    return all.empty() ? Cycle{} : all.back();
  }

  // The lines of a cycle that start with a prefix.
  static std::vector<std::string> lines_with(const Cycle &c, const std::string &prefix) {
    std::vector<std::string> out;
    for (const auto &l : c.lines)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }

  // The table of a cycle: its header and the rows that follow.
  static std::vector<std::string> top_table(const Cycle &c) {
    std::vector<std::string> out;
    for (size_t i = 0; i < c.lines.size(); i++) {
      if (c.lines[i].rfind("[K]     Usage", 0) == 0) {
        for (size_t j = i; j < c.lines.size() && j <= i + 10; j++) out.push_back(c.lines[j]);
        break;
      }
    }
    return out;
  }

  std::string proc() {
    std::string out;
    EXPECT_EQ(0, k_->proc_read(kProcFile, &out));
    return out;
  }

  int spawn(int pid, const std::string &comm, sim::u64 cpu_ns = 0, short oom = 0, int tgid = 0) {
    sim::TaskSpec t;
    t.pid = pid;
    t.tgid = tgid;
    t.comm = comm;
    t.oom_score_adj = oom;
    t.utime_ns = cpu_ns;
    int got = k_->spawn(t);
    if (pid) {
      EXPECT_EQ(pid, got) << "spawn " << comm;
    }
    return got;
  }

  std::unique_ptr<sim::Kernel> k_;
};

}  // namespace pelk_test
