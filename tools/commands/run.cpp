#include "run.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "host.h"
#include "command_line.h"
#include "output.h"
#include "program_path.h"

extern char **environ;

namespace pelk_tool {

namespace {

const char kRunUsage[] =
    "usage: pelk_perf_util run [OPTIONS]\n"
    "\n"
    "Loads the module on this machine's own kernel facts (processes and CPU\n"
    "counters from /proc, the real clocks) and prints each report as it comes,\n"
    "until Ctrl-C or the duration's end, then unloads it.\n"
    "\n"
    "Options:\n"
    "  --period MS            the cycle's period (the kmonitor_delay parameter)\n"
    "  --duration SECONDS     stop after this long (default: until Ctrl-C)\n"
    "  --source auto|bpf|proc where processes come from: bpf, one read of a BPF task\n"
    "                         iterator per cycle (root, a kernel with BTF); proc, one\n"
    "                         stat file per process; auto (default): bpf where it can\n"
    "                         be loaded, else proc.  The choice is said on stderr\n"
    "  --proc-root DIR        read processes and /proc/stat from DIR (default /proc)\n"
    "  --out DIR              publish the module's proc files below DIR (default:\n"
    "                         $XDG_RUNTIME_DIR/pelk_perf_util, else /tmp/pelk_perf_util-UID)\n"
    "  --format text|jsonl    text (default): log lines as dmesg prints them, other\n"
    "                         events as <marked> lines; jsonl: one JSON object each\n"
    "                         (dmesg, the old name of text, is still accepted)\n"
    "  --switch LIST          feature switches, e.g. health=on,zeb=on (default off);\n"
    "                         notified right after the module is loaded\n"
    "  --log FILE             also append the output to FILE\n"
    "  --on-event COMMAND     run COMMAND (with sh -c) for each uevent and event\n"
    "                         report; the marked line is in $PELK_EVENT\n"
    "  --module PATH          the module's shared object\n"
    "  --help                 show this help\n"
    "\n"
    "Exit status: 0 on success, 1 when the module cannot be loaded or --out cannot\n"
    "be used, 2 for bad options.\n";

constexpr unsigned long long kHealthFeature = 901060000029ULL;
constexpr unsigned long long kZebFeature = 541860000033ULL;

int usage_error(std::ostream &err, const std::string &msg) { return pelk_tool::usage_error(err, msg, kRunUsage); }

std::string module_path() {
  if (const char *env = getenv("PELK_MODULE"); env && *env) return env;
  // pelk_perf_run sits in the package's library directory next to the module
  // once installed, and in the build folder's top before.
  return beside_program({"pelk_perf_util.so", PELK_MODULE_RELATIVE_PATH}, PELK_MODULE_DEFAULT_PATH);
}

std::string default_out_dir() {
  if (const char *x = getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/pelk_perf_util";
  return "/tmp/pelk_perf_util-" + std::to_string(getuid());
}

OutEvent to_event(const host::Record &r, u64 seq) {
  OutEvent e;
  e.seq = seq;
  e.ts_ns = r.ts_ns;
  switch (r.kind) {
    case host::Record::Printk:
      e.type = OutEvent::Printk;
      e.level = r.level;
      e.text = r.text;
      e.newline = r.newline;
      break;
    case host::Record::Uevent:
      e.type = OutEvent::Uevent;
      e.action = r.action;
      e.env = r.env;
      e.result = r.result;
      break;
    case host::Record::EventReport:
      e.type = OutEvent::EventReport;
      e.name = r.code;
      e.value = r.value;
      e.pid = r.pid;
      e.text = r.text;
      break;
  }
  return e;
}

// A kernel log record's text as the kernel's own log (/dev/kmsg) gives it:
// a byte below the blank, DEL and above, and the backslash itself as
// "\xNN".  Names are chosen by whoever starts a process: a newline in one
// cannot make a line of its own, nor an escape sequence reach a terminal.
std::string kmsg_text(const std::string &s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c < ' ' || c >= 127 || c == '\\') {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += (char)c;
    }
  }
  return out;
}

// The --on-event commands: run one at a time, in the order of their events,
// by a thread of their own, so that no worker (nor the load, whose uevent
// comes from the thread that loads) waits for one.  A command that hangs
// must not hold the program when it is asked to end.
class EventCommands {
 public:
  explicit EventCommands(std::string cmd) : cmd_(std::move(cmd)) {
    if (!cmd_.empty()) thread_ = std::thread([this] { serve(); });
  }
  ~EventCommands() { finish(); }
  // An event's marked line: its command is queued (at most kQueued wait;
  // past that, the line is dropped and counted).
  void post(const std::string &line) {
    if (cmd_.empty()) return;
    std::lock_guard<std::mutex> lk(mu_);
    if (queue_.size() >= kQueued) {
      ++dropped_;
      return;
    }
    queue_.push_back(line);
    cv_.notify_one();
  }
  // The stop: the command running now is sent SIGTERM, and SIGKILL after
  // the grace; one started since (such as the unloading's uevent's) has the
  // grace to end before the same.
  void stop() {
    std::lock_guard<std::mutex> lk(mu_);
    if (stopping_) return;
    stopping_ = true;
    stopped_at_ = std::chrono::steady_clock::now();
    if (running_) kill(-running_, SIGTERM);
  }
  // Runs what is queued, then ends the thread; the lines dropped.
  uint64_t finish() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      closed_ = true;
      cv_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    return dropped_;
  }

 private:
  static constexpr size_t kQueued = 1000;
  static constexpr std::chrono::milliseconds kGrace{1000};

  void serve() {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      cv_.wait(lk, [this] { return closed_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::string line = std::move(queue_.front());
      queue_.pop_front();
      lk.unlock();
      run(line);
      lk.lock();
    }
  }

  // Runs the command in a process group of its own and waits for it.
  void run(const std::string &line) {
    std::string env_line = "PELK_EVENT=" + line.substr(0, line.find_last_not_of('\n') + 1);
    std::vector<char *> envp;
    for (char **e = environ; e && *e; e++)
      if (std::strncmp(*e, "PELK_EVENT=", 11) != 0) envp.push_back(*e);
    envp.push_back(env_line.data());
    envp.push_back(nullptr);
    const char *argv[] = {"/bin/sh", "-c", cmd_.c_str(), nullptr};
    // The command gets the standard three descriptors and nothing else of
    // ours: not the --log file, not the kept stat files of the workers.  Nor
    // our blocked signals: it can be stopped.
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&fa) != 0) return;
    if (posix_spawnattr_init(&attr) != 0) {
      posix_spawn_file_actions_destroy(&fa);
      return;
    }
    sigset_t none, stops;
    sigemptyset(&none);
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pid_t pid = 0;
    std::unique_lock<std::mutex> lk(mu_);
    auto start = std::chrono::steady_clock::now();
    if (posix_spawn_file_actions_addclosefrom_np(&fa, 3) != 0 || posix_spawnattr_setpgroup(&attr, 0) != 0 ||
        posix_spawnattr_setsigmask(&attr, &none) != 0 || posix_spawnattr_setsigdefault(&attr, &stops) != 0 ||
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) !=
            0 ||
        posix_spawn(&pid, "/bin/sh", &fa, &attr, const_cast<char **>(argv), envp.data()) != 0)
      pid = 0;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (!pid) return;
    running_ = pid;
    bool termed = false, killed = false;
    for (;;) {
      int st;
      pid_t r = waitpid(pid, &st, WNOHANG);
      if (r == pid || (r < 0 && errno != EINTR)) break;
      if (stopping_) {
        // Running at the stop: SIGTERM was sent then.  Started after it: the grace first.
        auto term_at = start < stopped_at_ ? stopped_at_ : start + kGrace, now = std::chrono::steady_clock::now();
        if (!termed && now >= term_at) kill(-pid, SIGTERM), termed = true;
        if (!killed && now >= term_at + kGrace) kill(-pid, SIGKILL), killed = true;
      }
      lk.unlock();
      struct timespec step = {0, 10 * 1000 * 1000};
      nanosleep(&step, nullptr);
      lk.lock();
    }
    running_ = 0;
    // What the command left running in its group ends with the program.
    if (stopping_) kill(-pid, SIGKILL);
  }

  const std::string cmd_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> queue_;
  pid_t running_ = 0;  // the process group of the command running
  bool stopping_ = false, closed_ = false;
  std::chrono::steady_clock::time_point stopped_at_;
  uint64_t dropped_ = 0;
  std::thread thread_;
};

// Makes the output directory ready, or says why it cannot be used: created
// private (0700) when missing, and then it must be a directory of this user
// that no one else can write to, where a file can be created.  The default
// one, in a place others can write to (/tmp), must not be reached through a
// link either.  An empty string when it can be used.
std::string prepare_out_dir(const std::string &dir, bool is_default) {
  std::error_code ec;
  std::filesystem::path p(dir);
  if (p.has_parent_path() && !is_default) std::filesystem::create_directories(p.parent_path(), ec);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return strerror(errno);
  struct stat st;
  if ((is_default ? lstat(dir.c_str(), &st) : stat(dir.c_str(), &st)) != 0) return strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  if (st.st_uid != geteuid())
    return "owned by user " + std::to_string(st.st_uid) + ", not by this one (give --out a directory of yours)";
  if (st.st_mode & 022) return "others may write to it (make it private: chmod 700)";
  // A pseudo-file system or a read-only one: a file cannot be made there.
  std::string probe = dir + "/.pelk_probe_XXXXXX";
  int fd = mkstemp(probe.data());
  if (fd < 0) return std::string("cannot create a file there: ") + strerror(errno);
  close(fd);
  unlink(probe.c_str());
  return "";
}

// Says once which source the tasks come from and why; a refusal when bpf was
// asked for and cannot be had.
int report_task_source(const host::Kernel &kernel, host::TaskSource asked, std::ostream &err) {
  bool bpf = kernel.task_source() == host::TaskSource::Bpf;
  if (asked == host::TaskSource::Bpf && !bpf) {
    err << "pelk_perf_util: --source bpf: the BPF task iterator cannot be used: " << kernel.task_source_reason()
        << "\n";
    return kExitFailure;
  }
  err << "pelk_perf_util: tasks from " << (bpf ? "bpf" : "proc") << " ("
      << (bpf ? "" : asked == host::TaskSource::Auto ? "one stat file per process; bpf: " : "one stat file per process; ")
      << kernel.task_source_reason() << ")\n";
  return kExitOk;
}

// What the command line asks of a live run.
struct LiveOptions {
  std::optional<long> period_ms;
  std::optional<double> duration_s;
  std::string proc_root = "/proc", out_dir = default_out_dir(), log_path, on_event, mod = module_path();
  bool out_given = false;
  Format format = Format::Text;
  std::map<unsigned long long, int> switches;
  host::TaskSource source = host::TaskSource::Auto;
};

// "health=on,zeb=off" into o.switches; a usage error's status, or -1.
int read_switches(const std::string &value, LiveOptions &o, std::ostream &err) {
  size_t p = 0;
  while (p <= value.size()) {
    size_t q = value.find(',', p);
    if (q == std::string::npos) q = value.size();
    std::string item = value.substr(p, q - p);
    p = q + 1;
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq), state = eq == std::string::npos ? "" : item.substr(eq + 1);
    unsigned long long id = name == "health" ? kHealthFeature : name == "zeb" ? kZebFeature : 0;
    if (!id || (state != "on" && state != "off"))
      return usage_error(err, "--switch wants health=on|off,zeb=on|off, got \"" + item + "\"");
    o.switches[id] = state == "on" ? 1 : 0;
  }
  return -1;
}

// Reads the words into o: -1 when the run goes on, else the exit status
// (after --help, or a usage error).
int read_options(const std::vector<std::string> &args, LiveOptions &o, std::ostream &out, std::ostream &err) {
  Words w(args);
  while (w.next()) {
    const std::string &a = w.name();
    if (w.is_help()) {
      out << kRunUsage;
      return kExitOk;
    }
    static const char *const with_value[] = {"--period", "--duration", "--source", "--proc-root", "--out",
                                             "--format", "--switch", "--log", "--on-event", "--module"};
    if (std::find(std::begin(with_value), std::end(with_value), a) == std::end(with_value))
      return usage_error(err, a.rfind("-", 0) == 0 ? "unknown option " + a : "unexpected argument \"" + a + "\"");
    std::optional<std::string> v = w.value();
    if (!v) return usage_error(err, "option " + a + " needs a value");
    const std::string &value = *v;
    char *end = nullptr;
    errno = 0;
    if (a == "--period") {
      long ms = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || errno || ms <= 0 || ms > 86400000)
        return usage_error(err, "--period wants milliseconds (1 to 86400000), got \"" + value + "\"");
      o.period_ms = ms;
    } else if (a == "--duration") {
      double s = std::strtod(value.c_str(), &end);
      if (value.empty() || *end || errno || !std::isfinite(s) || s <= 0 || s > 1e9)
        return usage_error(err, "--duration wants a number of seconds, got \"" + value + "\"");
      o.duration_s = s;
    } else if (a == "--source") {
      if (value == "auto") o.source = host::TaskSource::Auto;
      else if (value == "bpf") o.source = host::TaskSource::Bpf;
      else if (value == "proc") o.source = host::TaskSource::Proc;
      else return usage_error(err, "unknown source \"" + value + "\" (auto, bpf or proc)");
    } else if (a == "--proc-root") {
      o.proc_root = value;
    } else if (a == "--out") {
      o.out_dir = value;
      o.out_given = true;
    } else if (a == "--format") {
      if (!format_named(value, &o.format))
        return usage_error(err, "unknown format \"" + value + "\" (text or jsonl)");
    } else if (a == "--switch") {
      if (int status = read_switches(value, o, err); status >= 0) return status;
    } else if (a == "--log") {
      o.log_path = value;
    } else if (a == "--on-event") {
      o.on_event = value;
    } else {
      o.mod = value;
    }
  }
  return -1;
}

// Waits until SIGINT or SIGTERM (blocked in `stop`), or the duration's end.
void wait_for_stop(const sigset_t &stop, std::optional<double> duration_s) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    struct timespec wait = {1, 0};
    if (duration_s) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      double done = (double)(now.tv_sec - start.tv_sec) + (double)(now.tv_nsec - start.tv_nsec) / 1e9;
      double left = *duration_s - done;
      if (left <= 0) break;
      if (left < 1) wait = {0, (long)(left * 1e9)};
    }
    int sig = sigtimedwait(&stop, nullptr, &wait);
    if (sig == SIGINT || sig == SIGTERM) break;
  }
}

// Loads the module on the live kernel, turns the switches, waits for the
// end and unloads it; the exit status.
int play_live(const LiveOptions &o, const host::Options &opt, const sigset_t &stop, EventCommands &commands,
              std::ostream &err) {
  host::Kernel kernel(opt);
  if (report_task_source(kernel, o.source, err) != kExitOk) return kExitFailure;
  std::string params = o.period_ms ? "kmonitor_delay=" + std::to_string(*o.period_ms) : "";
  int rc = kernel.insmod(o.mod, params);
  if (rc != 0) {
    err << "pelk_perf_util: cannot load " << o.mod << ": "
        << (kernel.last_load_error().empty() ? strerror(-rc) : kernel.last_load_error()) << "\n";
    return kExitFailure;
  }
  for (auto &[id, on] : o.switches) kernel.set_feature(id, on);
  kernel.notify_feature_change();
  wait_for_stop(stop, o.duration_s);
  commands.stop();
  kernel.rmmod(kModuleName);
  return kExitOk;
}

}  // namespace

int run_live(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  LiveOptions o;
  if (int status = read_options(args, o, out, err); status >= 0) return status;
  const std::string &proc_root = o.proc_root;

  if (o.source == host::TaskSource::Bpf && proc_root != "/proc")
    return usage_error(err, "--source bpf reads this machine's tasks, not --proc-root " + proc_root);
  struct stat st;
  if (stat(proc_root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    err << "pelk_perf_util: --proc-root " << proc_root << " is not a directory\n";
    return kExitUsage;
  }
  std::ofstream log;
  if (!o.log_path.empty()) {
    log.open(o.log_path, std::ios::binary | std::ios::app);
    if (!log) {
      err << "pelk_perf_util: cannot write " << o.log_path << ": " << strerror(errno) << "\n";
      return kExitFailure;
    }
  }
  if (std::string why = prepare_out_dir(o.out_dir, !o.out_given); !why.empty()) {
    err << "pelk_perf_util: cannot publish the proc files in " << o.out_dir << ": " << why << "\n";
    return kExitFailure;
  }

  // The signals that end the run are taken by this thread alone: blocked
  // before the kernel's workers start, so that they inherit the mask.
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &old);

  u64 seq = 0;
  EventCommands commands(o.on_event);
  host::Options opt;
  opt.source = o.source;
  opt.proc_root = proc_root;
  // A recorded tree carries its CPU lists in DIR/cpu, or they come from its stat file.
  if (proc_root != "/proc") opt.cpu_root = proc_root + "/cpu";
  opt.out_dir = o.out_dir;
  opt.sink = [&](const host::Record &r) {  // one call at a time
    OutEvent e = to_event(r, ++seq);
    // JSON lines keep the exact bytes (with text_hex when they are not UTF-8).
    if (o.format == Format::Text && r.kind == host::Record::Printk) e.text = kmsg_text(e.text);
    std::string line = o.format == Format::Text ? format_text(e) : format_jsonl(e);
    out << line;
    out.flush();
    if (log.is_open()) {
      log << line;
      log.flush();
    }
    if (r.kind != host::Record::Printk) commands.post(format_text(e));
  };

  int status = play_live(o, opt, stop, commands, err);
  commands.stop();
  if (uint64_t dropped = commands.finish())
    err << "pelk_perf_util: --on-event: " << dropped << " event(s) not run, too many waiting behind a command\n";
  // A stop signal that came while the module was unloading (a second Ctrl-C,
  // or `timeout`, which signals the child and then its whole group) asks for
  // what has been done already: take it here rather than die of it once the
  // mask is restored.
  struct timespec zero = {0, 0};
  while (sigtimedwait(&stop, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return status;
}

}  // namespace pelk_tool
