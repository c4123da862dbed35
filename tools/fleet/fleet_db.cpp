// The fleet database: readers on threads of their own turn each file into the
// rows of every table, already stored as SQLite stores them (a small database
// in memory, one file at a time per reader), and the one writer (the calling
// thread) copies each file's tables in in one transaction with its `files`
// row: a file is in whole or not at all.  The readers do the work that grows
// with the rows; the writer's share is a copy of SQLite's records, so that
// readers on more cores read a fleet faster.
#include "fleet_db.h"

#include <sched.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <deque>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "log_parse.h"
#include "log_table.h"

namespace pelk_tool {

namespace {

// The CPUs this process may run on (taskset, a container's cpuset), not all
// the machine has: more readers than that only take turns.
unsigned usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) return (unsigned)CPU_COUNT(&set);
  return std::max(1u, std::thread::hardware_concurrency());
}

constexpr TableWhat kKinds[kTableKinds] = {TableWhat::Cycles, TableWhat::Processes, TableWhat::Threads,
                                           TableWhat::Cpus,   TableWhat::Health,    TableWhat::Overload,
                                           TableWhat::Modem};

// The SQL type of a column: text, the kernel timestamp real, the rest integers
// (flags as 0 and 1).
const char *column_type(TableWhat what, std::string_view col) {
  static const char *const texts[] = {"file", "device", "stamp", "time", "missing", "name",
                                      "comm", "status", "utc"};
  for (const char *t : texts)
    if (col == t) return "TEXT";
  if (col == "modem" && what == TableWhat::Cycles) return "TEXT";
  if (col == "ts") return "REAL";
  return "INTEGER";
}

// What is known of a file from an earlier run.
struct Known {
  int64_t size = -1, mtime = -1;
  std::string hash, status;
};

// A file to read: its path, and what an earlier run recorded of it.
struct Job {
  std::string path;
  std::optional<Known> known;
};

struct SqliteFree {
  void operator()(void *p) const { sqlite3_free(p); }
};
struct StmtFree {
  void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFree>;

// A table's CREATE statement; the reader's tables and the database's must be
// alike to the column, or SQLite copies rows value by value.
std::string create_table(TableWhat what) {
  const auto &cols = table_columns(what);
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + table_name(what) + " (";
  for (size_t i = 0; i < cols.size(); ++i)
    sql += std::string(i ? ", " : "") + cols[i] + " " + column_type(what, cols[i]);
  return sql + ");";
}

// What a reader made of one file.
struct FileResult {
  std::string path;
  bool known = false;  // in the files table
  bool touch = false;  // the same content under a new time: only the files row changes
  std::optional<int64_t> size, mtime;
  std::string hash, device, status = "ok", reason, messages;
  std::unique_ptr<unsigned char, SqliteFree> image;  // the rows, as a serialized SQLite database
  sqlite3_int64 image_size = 0;
  std::string image_error;  // why the rows could not be stored (memory)
  uint64_t rows[kTableKinds] = {};
  uint64_t damaged = 0, bytes = 0;
  uint64_t total_rows() const {
    uint64_t n = 0;
    for (uint64_t r : rows) n += r;
    return n;
  }
};

int64_t mtime_ns(const struct stat &st) { return (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec; }

// The file's CRC-32, as 8 hex digits; empty when it cannot be read.
std::string content_hash(FILE *f, uint64_t *bytes) {
  std::vector<unsigned char> buf(1 << 20);
  uLong crc = crc32(0, nullptr, 0);
  size_t n;
  *bytes = 0;
  while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) {
    crc = crc32_z(crc, buf.data(), n);
    *bytes += n;
  }
  if (ferror(f)) return "";
  char hex[16];
  snprintf(hex, sizeof hex, "%08lx", (unsigned long)crc);
  return hex;
}

// Binds each row of cells to insert and runs it.
bool insert_rows(sqlite3_stmt *insert, int cols, std::string_view cells, uint64_t rows) {
  Cell c;
  for (uint64_t row = 0; row < rows; ++row) {
    for (int i = 1; i <= cols && next_cell(cells, &c); ++i) {
      if (c.kind == Cell::Int) sqlite3_bind_int64(insert, i, c.i);
      else if (c.kind == Cell::Real) sqlite3_bind_double(insert, i, c.r);
      else if (c.kind == Cell::Text) sqlite3_bind_text(insert, i, c.text.data(), (int)c.text.size(), SQLITE_STATIC);
      else sqlite3_bind_null(insert, i);
    }
    int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE) return false;
  }
  return true;
}

// Puts a file's rows into a database of its own in memory, taken whole as
// r->image: the writer attaches it and copies each table with one INSERT ...
// SELECT, which SQLite does record by record without reading a value.
void store_rows(std::string (&cells)[kTableKinds], FileResult *r) {
  if (!r->total_rows()) return;
  sqlite3 *mem = nullptr;
  bool ok = sqlite3_open_v2(":memory:", &mem, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK;
  auto exec = [&](const std::string &sql) {
    return sqlite3_exec(mem, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  ok = ok && exec("PRAGMA journal_mode=OFF; BEGIN");
  for (int k = 0; ok && k < kTableKinds; ++k) {
    const int cols = (int)table_columns(kKinds[k]).size();
    std::string insert = std::string("INSERT INTO ") + table_name(kKinds[k]) + " VALUES (?";
    for (int i = 1; i < cols; ++i) insert += ",?";
    sqlite3_stmt *s = nullptr;
    ok = exec(create_table(kKinds[k])) &&
         sqlite3_prepare_v2(mem, (insert + ")").c_str(), -1, &s, nullptr) == SQLITE_OK;
    Stmt owned(s);
    ok = ok && insert_rows(s, cols, cells[k], r->rows[k]);
    std::string().swap(cells[k]);  // a large log's rows are not held twice for long
  }
  ok = ok && exec("COMMIT");
  if (ok) r->image.reset(sqlite3_serialize(mem, "main", &r->image_size, 0));
  if (!r->image) r->image_error = mem ? sqlite3_errmsg(mem) : "out of memory";
  if (r->image_error == "not an error") r->image_error = "out of memory";
  sqlite3_close(mem);
}

void read_file(const Job &job, const InputLimits &limits, FileResult *r) {
  r->path = job.path;
  r->known = job.known.has_value();
  FILE *f = fopen(job.path.c_str(), "rb");
  struct stat st;
  if (!f || fstat(fileno(f), &st) != 0) {
    int e = errno;
    r->status = "unreadable";
    r->reason = "cannot read " + shown(job.path) + ": " + strerror(e);
    r->messages = "pelk_perf_util: " + r->reason + "\n";
    if (f) fclose(f);
    return;
  }
  r->size = st.st_size;
  r->mtime = mtime_ns(st);
  r->hash = content_hash(f, &r->bytes);
  fclose(f);
  if (job.known && !r->hash.empty() && job.known->hash == r->hash && job.known->size == st.st_size &&
      job.known->status != "refused" && job.known->status != "unreadable") {
    r->touch = true;
    return;
  }

  TableWriter writers[kTableKinds] = {TableWriter(kKinds[0]), TableWriter(kKinds[1]), TableWriter(kKinds[2]),
                                      TableWriter(kKinds[3]), TableWriter(kKinds[4]), TableWriter(kKinds[5]),
                                      TableWriter(kKinds[6])};
  LogSink sinks[kTableKinds];
  std::ostringstream err;
  bool ok = read_logs(
      {job.path},
      [&](const std::string &name) {
        for (int k = 0; k < kTableKinds; ++k) {
          writers[k].start_file(name);
          sinks[k] = writers[k].sink();
        }
        LogSink all;
        all.cycle = [&](const Cycle &c) {
          for (LogSink &s : sinks) s.cycle(c);
        };
        all.threads = [&](const ThreadList &t) {
          for (LogSink &s : sinks) s.threads(t);
        };
        all.health = [&](const HealthLine &h) {
          for (LogSink &s : sinks) s.health(h);
        };
        all.device = [&](const std::string &d) {
          if (r->device.empty()) r->device = d;
          for (LogSink &s : sinks) s.device(d);
        };
        return all;
      },
      err, &r->damaged, limits);
  std::string cells[kTableKinds];
  for (int k = 0; k < kTableKinds; ++k) {
    r->rows[k] = writers[k].rows();
    cells[k] = writers[k].take_cells();
  }
  store_rows(cells, r);
  r->messages = err.str();
  if (!ok) {
    // Reading stops at the file's own message, the last one.
    std::string_view m = r->messages;
    if (!m.empty() && m.back() == '\n') m.remove_suffix(1);
    m = m.substr(m.rfind('\n') + 1);
    if (m.rfind("pelk_perf_util: ", 0) == 0) m.remove_prefix(16);
    r->reason = std::string(m);
    r->status = m.find(": refused: ") != std::string_view::npos                          ? "refused"
                : m.rfind("cannot read ", 0) == 0 || m.rfind("error reading ", 0) == 0 ? "unreadable"
                                                                                          : "damaged";
  } else if (r->damaged) {
    r->reason = std::to_string(r->damaged) + " damaged line(s) left out";
  }
}

// Copies the WAL's pages into the database on a thread of its own, with a
// connection of its own, so that the writer only appends to the WAL: copying
// a page a second time and waiting for the disk at each checkpoint would
// otherwise be the writer's, the one part of a run that no reader can share.
class Checkpointer {
 public:
  ~Checkpointer() { stop(); }
  bool start(const std::string &path, sqlite3 *writer, unsigned wal_pages) {
    wait_at_ = (int)std::max(1u, wal_pages);
    copy_at_ = std::min(1000, std::max(1, wait_at_ / 8));
    // Until it has read the database, a connection does not know it is in WAL.
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
        sqlite3_exec(db_, "PRAGMA synchronous=NORMAL; SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      return false;
    }
    // Replaces SQLite's own checkpoint at commit, at the same size of WAL.
    sqlite3_wal_hook(writer, &Checkpointer::committed, this);
    thread_ = std::thread([this] { run(); });
    return true;
  }
  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
    sqlite3_close(db_);
    db_ = nullptr;
  }

 private:
  // After each commit of the writer.  The WAL starts again from its
  // beginning only at a transaction that begins once all of it is copied:
  // past wait_at_ pages the writer waits for a pass of the checkpointer to
  // end (it has copied most of it by then), so the WAL stays about that size.
  static int committed(void *self, sqlite3 *, const char *, int frames) {
    auto *c = static_cast<Checkpointer *>(self);
    if (frames < c->copy_at_) return SQLITE_OK;
    std::unique_lock<std::mutex> lock(c->m_);
    uint64_t ticket = ++c->asked_;
    c->wake_.notify_one();
    if (frames >= c->wait_at_) c->copied_cv_.wait(lock, [&] { return c->copied_ >= ticket; });
    return SQLITE_OK;
  }
  void run() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      wake_.wait(lock, [this] { return asked_ > copied_ || done_; });
      if (done_) return;
      uint64_t ticket = asked_;
      lock.unlock();
      // Passive: never waits for the writer or a reader (plot, the shell);
      // what it could not copy is copied the next time.
      sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
      lock.lock();
      copied_ = ticket;
      copied_cv_.notify_all();
    }
  }

  sqlite3 *db_ = nullptr;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable wake_, copied_cv_;
  uint64_t asked_ = 0, copied_ = 0;  // passes asked for, and the last one ended
  bool done_ = false;
  int copy_at_ = 1000, wait_at_ = 8192;  // WAL pages
};

// The database, written by one thread.
class Db {
 public:
  explicit Db(std::string path) : path_(std::move(path)) {}
  ~Db() {
    for (auto &s : remove_) s.reset();
    put_file_.reset();
    touch_.reset();
    lost_.reset();
    is_known_.reset();
    checkpointer_.stop();
    if (db_) sqlite3_close(db_);
  }

  bool open(unsigned wal_pages);
  bool load(std::unordered_map<std::string, Known> *known);
  bool write(FileResult &r);  // takes the file's rows
  // Builds the indexes left out while a new database was filled.
  bool index();
  std::string error() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

 private:
  bool exec(const std::string &sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
  bool prepare(const std::string &sql, Stmt *s) {
    sqlite3_stmt *p = nullptr;
    bool ok = sqlite3_prepare_v2(db_, sql.c_str(), -1, &p, nullptr) == SQLITE_OK;
    s->reset(p);
    return ok;
  }
  bool step(sqlite3_stmt *s) {
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc == SQLITE_DONE;
  }
  bool write_rows(const FileResult &r);

  std::string path_;
  std::string indexes_;  // the indexes to build once the rows are in, for a new database
  sqlite3 *db_ = nullptr;
  Checkpointer checkpointer_;
  Stmt remove_[kTableKinds], put_file_, touch_, lost_, is_known_;
};

bool Db::open(unsigned wal_pages) {
  // SQLite's count of its memory takes a lock at every allocation; nothing
  // here reads it.  Settable only before SQLite starts, so only the first time.
  static std::once_flag quiet;
  std::call_once(quiet, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  // One thread uses the connection: no locking in SQLite's calls.
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK)
    return false;
  // WAL: readers (the sqlite3 shell, plot) read while a run writes.  A
  // transaction is a whole file, so a run killed at any moment leaves whole
  // files; synchronous=NORMAL may lose the last files on a power cut, never
  // half of one.
  sqlite3_busy_timeout(db_, 60000);
  if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL") || !exec("PRAGMA cache_size=-32768"))
    return false;
  if (!exec("BEGIN IMMEDIATE")) return false;
  // A database without files yet (new, or whose runs were all stopped before
  // their first file) gets its indexes after the rows: one sort per index at
  // the end costs far less than keeping them row by row.  A run stopped
  // before that leaves them to the next, which builds them here.
  Stmt any;
  if (!prepare("SELECT 1 FROM sqlite_master WHERE name = 'files'", &any)) return false;
  bool empty = sqlite3_step(any.get()) != SQLITE_ROW;
  if (!empty) {
    if (!prepare("SELECT 1 FROM files LIMIT 1", &any)) return false;
    empty = sqlite3_step(any.get()) != SQLITE_ROW;
  }
  any.reset();
  for (TableWhat what : kKinds) {
    const char *name = table_name(what);
    const auto &cols = table_columns(what);
    bool has_time = std::any_of(cols.begin(), cols.end(), [](const char *c) { return std::string_view(c) == "time"; });
    std::string indexes = std::string("CREATE INDEX IF NOT EXISTS ") + name + "_device_time ON " + name +
                          " (device, " + (has_time ? "time" : "ts") + ");" + "CREATE INDEX IF NOT EXISTS " + name +
                          "_file ON " + name + " (file, line);";
    if (empty) indexes_ += indexes;
    if (!exec(create_table(what) + (empty ? "" : indexes))) {
      exec("ROLLBACK");
      return false;
    }
    int k = (int)what;
    // A file's rows: its own, and those of its archive entries (FILE:ENTRY).
    if (!prepare(std::string("DELETE FROM ") + name + " WHERE file = ?1 OR (file >= ?1 || ':' AND file < ?1 || ';')",
                 &remove_[k]))
      return false;
  }
  if (!exec("CREATE TABLE IF NOT EXISTS files (path TEXT PRIMARY KEY, size INTEGER, mtime INTEGER, hash TEXT, "
            "device TEXT, rows INTEGER, status TEXT, reason TEXT);"
            "CREATE INDEX IF NOT EXISTS files_device ON files (device);"
            "COMMIT;")) {
    exec("ROLLBACK");
    return false;
  }
  return checkpointer_.start(path_, db_, wal_pages) &&
         prepare("INSERT OR REPLACE INTO files VALUES (?,?,?,?,?,?,?,?)", &put_file_) &&
         prepare("UPDATE files SET size = ?2, mtime = ?3 WHERE path = ?1", &touch_) &&
         prepare("UPDATE files SET status = ?2, reason = ?3 WHERE path = ?1", &lost_) &&
         prepare("SELECT 1 FROM files WHERE path = ?1", &is_known_);
}

bool Db::load(std::unordered_map<std::string, Known> *known) {
  Stmt s;
  if (!prepare("SELECT path, size, mtime, hash, status FROM files", &s)) return false;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    auto text = [&](int i) {
      const unsigned char *t = sqlite3_column_text(s.get(), i);
      return t ? std::string((const char *)t, (size_t)sqlite3_column_bytes(s.get(), i)) : std::string();
    };
    Known k;
    k.size = sqlite3_column_type(s.get(), 1) == SQLITE_NULL ? -1 : sqlite3_column_int64(s.get(), 1);
    k.mtime = sqlite3_column_type(s.get(), 2) == SQLITE_NULL ? -1 : sqlite3_column_int64(s.get(), 2);
    k.hash = text(3);
    k.status = text(4);
    (*known)[text(0)] = std::move(k);
  }
  return rc == SQLITE_DONE;
}

bool Db::write_rows(const FileResult &r) {
  if (r.touch) {
    sqlite3_stmt *s = touch_.get();
    sqlite3_bind_text(s, 1, r.path.data(), (int)r.path.size(), SQLITE_STATIC);
    sqlite3_bind_int64(s, 2, *r.size);
    sqlite3_bind_int64(s, 3, *r.mtime);
    return step(s);
  }
  if (r.known && r.status == "unreadable") {
    // Rows read before are kept until the file can be read again (it is
    // tried at each run).
    sqlite3_stmt *s = lost_.get();
    sqlite3_bind_text(s, 1, r.path.data(), (int)r.path.size(), SQLITE_STATIC);
    sqlite3_bind_text(s, 2, r.status.data(), (int)r.status.size(), SQLITE_STATIC);
    sqlite3_bind_text(s, 3, r.reason.data(), (int)r.reason.size(), SQLITE_STATIC);
    return step(s);
  }
  // A file read before (by an earlier run, or by another run at the same
  // time since this one started): its rows are replaced.
  sqlite3_stmt *s = is_known_.get();
  sqlite3_bind_text(s, 1, r.path.data(), (int)r.path.size(), SQLITE_STATIC);
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
  bool known = rc == SQLITE_ROW;
  for (int k = 0; k < kTableKinds; ++k) {
    s = remove_[k].get();
    if (known) {
      sqlite3_bind_text(s, 1, r.path.data(), (int)r.path.size(), SQLITE_STATIC);
      if (!step(s)) return false;
    }
    if (r.rows[k] && !exec(std::string("INSERT INTO main.") + table_name(kKinds[k]) + " SELECT * FROM rows_in." +
                           table_name(kKinds[k])))
      return false;
  }
  s = put_file_.get();
  auto text = [&](int i, const std::string &t) {
    if (t.empty()) sqlite3_bind_null(s, i);
    else sqlite3_bind_text(s, i, t.data(), (int)t.size(), SQLITE_STATIC);
  };
  text(1, r.path);
  if (r.size) sqlite3_bind_int64(s, 2, *r.size);
  else sqlite3_bind_null(s, 2);
  if (r.mtime) sqlite3_bind_int64(s, 3, *r.mtime);
  else sqlite3_bind_null(s, 3);
  text(4, r.hash);
  text(5, r.device);
  sqlite3_bind_int64(s, 6, (int64_t)r.total_rows());
  text(7, r.status);
  text(8, r.reason);
  return step(s);
}

bool Db::index() {
  if (indexes_.empty()) return true;
  // One transaction each: the checkpointer copies an index's pages while
  // the next one is built.
  if (!exec(indexes_)) return false;
  indexes_.clear();
  return true;
}

bool Db::write(FileResult &r) {
  // The reader's rows are attached for the time of the file's transaction
  // (attaching is refused inside one).
  bool rows = r.image != nullptr;
  if (rows) {
    if (!exec("ATTACH ':memory:' AS rows_in")) return false;
    int rc = sqlite3_deserialize(db_, "rows_in", r.image.release(), r.image_size, r.image_size,
                                 SQLITE_DESERIALIZE_FREEONCLOSE);
    if (rc != SQLITE_OK) {
      exec("DETACH rows_in");
      return false;
    }
  }
  bool ok = exec("BEGIN IMMEDIATE");
  if (ok && !(write_rows(r) && exec("COMMIT"))) {
    exec("ROLLBACK");
    ok = false;
  }
  if (rows) exec("DETACH rows_in");
  return ok;
}

}  // namespace

bool update_fleet_db(const FleetOptions &opts, std::ostream &err, FleetSummary *summary) {
  FleetSummary sum;
  Db db(opts.db);
  auto cannot_write = [&](const std::string &why) {
    err << "pelk_perf_util: cannot write " << shown(opts.db) << ": " << shown(why) << "\n";
  };
  std::unordered_map<std::string, Known> known;
  if (!db.open(opts.wal_pages) || !db.load(&known)) {
    cannot_write(db.error());
    return false;
  }

  // New files, files whose size or time changed, and those refused or
  // unreadable last time (limits and permissions change): the others are
  // as they were.
  std::vector<std::string> files;
  bool ok = list_logs(opts.paths, &files, err);
  std::vector<Job> jobs;
  std::unordered_set<std::string> seen;
  for (std::string &f : files) {
    if (!seen.insert(f).second) continue;
    ++sum.files;
    auto it = known.find(f);
    struct stat st;
    if (it != known.end() && stat(f.c_str(), &st) == 0 && it->second.size == st.st_size &&
        it->second.mtime == mtime_ns(st) && it->second.status != "refused" && it->second.status != "unreadable") {
      ++sum.unchanged;
      continue;
    }
    jobs.push_back({std::move(f), it == known.end() ? std::nullopt : std::optional<Known>(it->second)});
  }

  // Readers take the files in turn; the results wait for the writer in a
  // short queue, so memory holds a few files' rows at most.
  unsigned n = opts.jobs ? opts.jobs : usable_cpus();
  n = std::min<size_t>(n, std::max<size_t>(jobs.size(), 1));
  std::mutex m;
  std::condition_variable ready, space;
  std::deque<FileResult> queue;
  std::atomic<size_t> next{0};
  bool stop = false;
  unsigned running = n;
  std::vector<std::thread> readers;
  for (unsigned t = 0; t < n; ++t)
    readers.emplace_back([&] {
      for (size_t i; (i = next++) < jobs.size();) {
        FileResult r;
        read_file(jobs[i], opts.limits, &r);
        std::unique_lock<std::mutex> lock(m);
        space.wait(lock, [&] { return stop || queue.size() < n; });
        if (stop) break;
        queue.push_back(std::move(r));
        ready.notify_one();
      }
      std::lock_guard<std::mutex> lock(m);
      --running;
      ready.notify_one();
    });

  bool written = true;
  for (;;) {
    std::unique_lock<std::mutex> lock(m);
    ready.wait(lock, [&] { return !queue.empty() || running == 0; });
    if (queue.empty()) break;
    FileResult r = std::move(queue.front());
    queue.pop_front();
    space.notify_one();
    lock.unlock();
    err << r.messages;
    if (!r.image_error.empty() || !db.write(r)) {
      cannot_write(r.image_error.empty() ? db.error() : r.image_error);
      written = false;
      lock.lock();
      stop = true;
      space.notify_all();
      break;
    }
    if (r.touch) {
      ++sum.unchanged;
      continue;
    }
    ++sum.read;
    sum.rows += r.total_rows();
    sum.bytes += r.bytes;
    sum.damaged_lines += r.damaged;
    if (r.status != "ok") {
      ++sum.failed;
      ok = false;
    }
  }
  for (std::thread &t : readers) t.join();
  if (!db.index()) {
    cannot_write(db.error());
    written = false;
  }
  if (sum.damaged_lines) err << "pelk_perf_util: " << sum.damaged_lines << " damaged line(s) left out\n";
  if (summary) *summary = sum;
  return ok && written;
}

}  // namespace pelk_tool
