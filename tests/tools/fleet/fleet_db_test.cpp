// The fleet database: a small fleet of phones' logs (the examples' logs under
// several serials, plain, compressed, in bug report zips, damaged) put in a
// database, checked row by row against `parse --format csv` of the same
// files, again after the fleet grew and changed; and runs killed at random
// points leave whole files only, which the next run completes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "commands.h"
#include "tools/logs/archive_writer.h"
#include "fleet_db.h"
#include "log_table.h"

namespace pelk_tool {
namespace {

namespace fs = std::filesystem;

std::string golden(const std::string &name) {
  std::ifstream in(fs::path(PELK_EXPECTED_DIR) / (name + ".txt"), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The log of a phone: the kernel command line naming it, then a scenario's log.
std::string phone_log(const std::string &scenario, const std::string &serial) {
  std::string head = serial.empty() ? "" : "[    0.000000] Kernel command line: console=ttyS0 androidboot.serialno=" + serial + "\n";
  return head + golden(scenario);
}


enum Form { Plain, Gzip, Xz, Zip, CutGzip, DamagedLine, Bomb };

struct Phone {
  const char *file;
  const char *scenario;
  const char *serial;  // "" for a log that names no phone
  Form form;
  int run;             // the run that first sees it (2: added between the runs)
  const char *status;  // in the files table after the last run
};

const Phone kFleet[] = {
    {"a/p01.log", "minimal", "SER01", Plain, 1, "ok"},
    {"a/p02.log", "cpus", "SER02", Plain, 1, "ok"},
    {"a/p03.log", "modem", "SER03", Plain, 1, "ok"},
    {"a/p04.log", "app_health", "SER04", Plain, 1, "ok"},
    {"a/p05.log", "system_server", "SER05", Plain, 1, "ok"},
    {"a/p06.log", "sustained_overload", "SER06", Plain, 1, "ok"},
    {"a/p07.log", "lifecycle", "SER07", Plain, 1, "ok"},
    {"a/p08.log", "lifecycle", "", Plain, 1, "ok"},
    {"b/p09.txt.gz", "modem", "SER09", Gzip, 1, "ok"},
    {"b/p10.gz", "system_server", "SER10", Gzip, 1, "ok"},
    {"b/p11.xz", "sustained_overload", "SER11", Xz, 1, "ok"},
    {"b/p12.gz", "app_health", "SER12", Gzip, 1, "ok"},
    {"b/p13.xz", "cpus", "SER13", Xz, 1, "ok"},
    {"c/bugreport-p14.zip", "system_server", "SER14", Zip, 1, "ok"},
    {"c/bugreport-p15.zip", "modem", "SER15", Zip, 1, "ok"},
    {"c/bugreport-p16.zip", "app_health", "SER16", Zip, 1, "ok"},
    {"d/p17.gz", "system_server", "", CutGzip, 1, "damaged"},
    {"d/p18.log", "modem", "SER18", DamagedLine, 1, "ok"},
    {"d/p19.xz", "minimal", "SER19", Bomb, 1, "refused"},
    {"p20.log", "cpus", "SER20", Plain, 1, "ok"},
    {"p21.log", "modem", "SER01", Plain, 1, "ok"},
    {"p22.log", "sustained_overload", "SER02", Plain, 1, "ok"},
    {"p23.log", "app_health", "SER03", Plain, 1, "ok"},
    {"p24.log", "minimal", "SER04", Plain, 1, "ok"},
    {"e/p25.log", "system_server", "SER25", Plain, 2, "ok"},
    {"e/p26.gz", "lifecycle", "SER26", Gzip, 2, "ok"},
};

void write_phone(const fs::path &dir, const Phone &p) {
  fs::path path = dir / p.file;
  fs::create_directories(path.parent_path());
  std::string log = phone_log(p.scenario, p.serial);
  switch (p.form) {
    case Plain: std::ofstream(path, std::ios::binary) << log; break;
    case DamagedLine:
      log.replace(log.find("Cpus Usage [") + 12, 1, "z");
      std::ofstream(path, std::ios::binary) << log;
      break;
    case Gzip: write_archive(path, "raw", ARCHIVE_FILTER_GZIP, {{"dmesg", log}}); break;
    case Xz: write_archive(path, "raw", ARCHIVE_FILTER_XZ, {{"dmesg", log}}); break;
    case Zip:
      write_archive(path, "zip", ARCHIVE_FILTER_NONE,
                    {{"bugreport-phone.txt", "[ro.serialno]: [" + std::string(p.serial) + "]\n" + golden(p.scenario)},
                     {"screenshot.png", "PNG"},
                     {"FS/proc/last_kmsg", golden("minimal")}});
      break;
    case CutGzip:
      write_archive(path, "raw", ARCHIVE_FILTER_GZIP, {{"dmesg", log}});
      fs::resize_file(path, fs::file_size(path) / 2);
      break;
    case Bomb: write_archive(path, "raw", ARCHIVE_FILTER_XZ, {{"dmesg", log + std::string(8 << 20, '\n')}}); break;
  }
}

struct Db {
  sqlite3 *db = nullptr;
  explicit Db(const fs::path &p) { EXPECT_EQ(sqlite3_open_v2(p.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK); }
  ~Db() { sqlite3_close(db); }
  // Rows of a query, each value as text ("NULL" for null), cells joined by '|'.
  std::vector<std::string> rows(const std::string &sql, const std::string &arg = "") {
    sqlite3_stmt *s = nullptr;
    std::vector<std::string> out;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db) << sql;
    if (!arg.empty()) sqlite3_bind_text(s, 1, arg.c_str(), -1, SQLITE_TRANSIENT);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
      std::string r;
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        const unsigned char *t = sqlite3_column_text(s, i);
        r += std::string(i ? "|" : "") + (t ? (const char *)t : "NULL");
      }
      out.push_back(r);
    }
    sqlite3_finalize(s);
    return out;
  }
};

// CSV records (RFC 4180, as parse writes them), each a list of cells.
std::vector<std::vector<std::string>> read_csv(const std::string &text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string cell;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') cell += '"', ++i;
      else if (c == '"') quoted = false;
      else cell += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',' || c == '\n') {
      rows.back().push_back(cell);
      cell.clear();
      if (c == '\n') rows.emplace_back();
    } else {
      cell += c;
    }
  }
  rows.pop_back();
  return rows;
}

// The rows of one file (and of its archive entries) in one table of the
// database, compared cell by cell with `parse --what KIND --format csv` of the file.
void expect_rows_as_csv(const fs::path &db_path, const std::string &file, TableWhat what) {
  std::ostringstream out, err;
  run_cli({"parse", file, "--what", table_name(what), "--format", "csv"}, out, err);
  std::vector<std::vector<std::string>> csv = read_csv(out.str());
  ASSERT_FALSE(csv.empty());
  const auto &cols = table_columns(what);
  ASSERT_EQ(csv[0], std::vector<std::string>(cols.begin(), cols.end()));
  sqlite3 *db;
  ASSERT_EQ(sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::string sql = std::string("SELECT * FROM ") + table_name(what) +
                    " WHERE file = ?1 OR substr(file, 1, length(?1) + 1) = ?1 || ':' ORDER BY rowid";
  sqlite3_stmt *s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK);
  sqlite3_bind_text(s, 1, file.c_str(), -1, SQLITE_TRANSIENT);
  size_t row = 1;
  for (; sqlite3_step(s) == SQLITE_ROW; ++row) {
    if (row >= csv.size()) {
      ADD_FAILURE() << "more rows in the database than in the CSV";
      break;
    }
    for (int i = 0; i < (int)cols.size(); ++i) {
      const std::string &want = csv[row][i];
      bool same = false;
      switch (sqlite3_column_type(s, i)) {
        case SQLITE_NULL: same = want.empty(); break;
        case SQLITE_INTEGER: {
          long long v = sqlite3_column_int64(s, i);
          same = want == std::to_string(v) || (want == "true" && v == 1) || (want == "false" && v == 0);
          break;
        }
        case SQLITE_FLOAT: same = !want.empty() && strtod(want.c_str(), nullptr) == sqlite3_column_double(s, i); break;
        default: same = want == (const char *)sqlite3_column_text(s, i);
      }
      EXPECT_TRUE(same) << table_name(what) << " row " << row << " " << cols[i] << ": CSV \"" << want
                        << "\", database \"" << (const char *)sqlite3_column_text(s, i) << "\"";
    }
  }
  EXPECT_EQ(row, csv.size()) << table_name(what) << ": rows of the CSV missing from the database";
  sqlite3_finalize(s);
  sqlite3_close(db);
}

class Fleet : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pelk_fleet_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
  }
  void TearDown() override { fs::remove_all(dir_); }
  int parse_db(const std::vector<std::string> &more, std::string *out_text = nullptr) {
    std::ostringstream out, err;
    std::vector<std::string> args = {"parse", (dir_ / "logs").string(), "--db", (dir_ / "fleet.sqlite").string()};
    args.insert(args.end(), more.begin(), more.end());
    int status = run_cli(args, out, err);
    if (out_text) *out_text = out.str();
    return status;
  }
  fs::path dir_;
};

TEST_F(Fleet, EveryTableRowByRowAsTheCsvAcrossTwoRuns) {
  for (const Phone &p : kFleet)
    if (p.run == 1) write_phone(dir_ / "logs", p);
  std::string said;
  EXPECT_EQ(parse_db({"-j", "2"}, &said), 1);  // the damaged and the refused file
  EXPECT_NE(said.find(": 24 file(s) read, 0 unchanged, 2 not read whole"), std::string::npos) << said;

  // Between the runs: two phones added, one log grown, one rewritten with
  // the same bytes (a new time only).
  for (const Phone &p : kFleet)
    if (p.run == 2) write_phone(dir_ / "logs", p);
  std::ofstream(dir_ / "logs/p20.log", std::ios::binary | std::ios::app) << golden("minimal");
  fs::last_write_time(dir_ / "logs/a/p03.log", fs::last_write_time(dir_ / "logs/a/p03.log") + std::chrono::hours(1));
  EXPECT_EQ(parse_db({}, &said), 1);  // the refused file is tried again
  EXPECT_NE(said.find(": 4 file(s) read, 22 unchanged, 1 not read whole"), std::string::npos) << said;

  Db db(dir_ / "fleet.sqlite");
  for (const Phone &p : kFleet) {
    std::string file = (dir_ / "logs" / p.file).string();
    SCOPED_TRACE(file);
    for (int k = 0; k < kTableKinds; ++k) expect_rows_as_csv(dir_ / "fleet.sqlite", file, (TableWhat)k);
    std::vector<std::string> f = db.rows("SELECT device, status, reason IS NULL FROM files WHERE path = ?", file);
    ASSERT_EQ(f.size(), 1u);
    std::string serial = *p.serial ? p.serial : "NULL";
    EXPECT_EQ(f[0], serial + "|" + p.status + "|" + (p.form == Plain || p.form == Gzip || p.form == Xz || p.form == Zip ? "1" : "0"));
  }
  // The files table counts each file's rows.
  std::string counted;
  for (int k = 0; k < kTableKinds; ++k)
    counted += std::string(k ? " + " : "") + "(SELECT count(*) FROM " + table_name((TableWhat)k) +
               " WHERE file = path OR substr(file, 1, length(path) + 1) = path || ':')";
  EXPECT_EQ(db.rows("SELECT count(*) FROM files WHERE rows <> " + counted), std::vector<std::string>{"0"});

  // A log read before that cannot be read now keeps its rows.
  std::string gone = (dir_ / "logs/p24.log").string();
  fs::rename(gone, dir_ / "p24.log");
  std::ostringstream out, err;
  EXPECT_EQ(run_cli({"parse", gone, "--db", (dir_ / "fleet.sqlite").string()}, out, err), 1);
  EXPECT_EQ(db.rows("SELECT status, rows > 0 AND rows = " + counted + " FROM files WHERE path = ?", gone),
            std::vector<std::string>{"unreadable|1"});
}

// Every table's rows, file by file, in the order written.
std::string dump(const fs::path &p) {
  Db db(p);
  std::string all;
  for (int k = 0; k < kTableKinds; ++k)
    for (const std::string &r : db.rows(std::string("SELECT * FROM ") + table_name((TableWhat)k) + " ORDER BY file, rowid"))
      all += r + "\n";
  for (const std::string &r : db.rows("SELECT path, size, hash, device, rows, status FROM files ORDER BY path"))
    all += r + "\n";
  return all;
}

// Where a dump differs from the one wanted: "" when it does not, else the
// first line that differs (a diff of whole dumps would take too long).
std::string first_difference(const std::string &got, const std::string &want) {
  if (got == want) return "";
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  at = got.rfind('\n', at) + 1;
  return "line " + std::to_string(std::count(got.begin(), got.begin() + (long)at, '\n') + 1) + ": got \"" +
         got.substr(at, got.find('\n', at) - at) + "\", want \"" + want.substr(at, want.find('\n', at) - at) + "\"";
}

TEST_F(Fleet, KilledRunsLeaveWholeFilesAndTheNextRunCompletes) {
  // Logs long enough for a run to take a while.
  for (int i = 0; i < 12; ++i) {
    // (Appended: g++ 12 at -O3 sees a false overlap in "K" + std::to_string(i).)
    std::string num = std::to_string(i);
    std::string log = phone_log(i % 2 ? "system_server" : "sustained_overload", std::string("K").append(num));
    std::ofstream out(dir_ / "logs" / std::string("k").append(num).append(".log"), std::ios::binary);
    for (int n = 0; n < 20; ++n) out << log;
  }
  auto child = [&](fs::path db) {
    pid_t pid = fork();
    if (pid == 0) {
      std::ostringstream err;
      // A WAL of 8 pages: the writer waits for the checkpointer at every file.
      _exit(update_fleet_db({db.string(), {(dir_ / "logs").string()}, 2, {}, 8}, err) ? 0 : 1);
    }
    return pid;
  };
  // A whole run, for the reference and for where to stop the others.
  auto start = std::chrono::steady_clock::now();
  int status;
  ASSERT_EQ(waitpid(child(dir_ / "whole.sqlite"), &status, 0) > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  auto whole = std::chrono::steady_clock::now() - start;
  std::string want = dump(dir_ / "whole.sqlite");
  // A new database gets its indexes at the end of the run; one whose run was
  // stopped before that, at the next run.
  auto indexes = [](const fs::path &p) {
    return Db(p).rows("SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_master WHERE type = 'index' "
                      "AND sql IS NOT NULL ORDER BY name)");
  };
  const std::vector<std::string> all_indexes = {
      "cpus_device_time cpus_file cycles_device_time cycles_file files_device health_device_time health_file "
      "modem_device_time modem_file overload_device_time overload_file processes_device_time processes_file "
      "threads_device_time threads_file"};
  EXPECT_EQ(indexes(dir_ / "whole.sqlite"), all_indexes);

  unsigned seed = (unsigned)getpid();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  fs::path db = dir_ / "fleet.sqlite";
  std::string counted;
  uintmax_t wal_peak = 0;
  for (int k = 0; k < kTableKinds; ++k)
    counted += std::string(k ? " + " : "") + "(SELECT count(*) FROM " + table_name((TableWhat)k) + " WHERE file = path)";
  for (int round = 0; round < 4; ++round) {
    pid_t pid = child(db);
    std::this_thread::sleep_for(whole * std::uniform_real_distribution<double>(0, 1)(rng));
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (fs::exists(db.string() + "-wal")) wal_peak = std::max(wal_peak, fs::file_size(db.string() + "-wal"));
    // Whole files only: each file's rows are all there, and no row is of a
    // file not recorded.
    if (!fs::exists(db)) continue;
    Db d(db);
    if (d.rows("SELECT count(*) FROM sqlite_master WHERE name = 'files'") != std::vector<std::string>{"1"})
      continue;  // killed before its first commit
    EXPECT_EQ(d.rows("SELECT count(*) FROM files WHERE rows <> " + counted), std::vector<std::string>{"0"});
    EXPECT_EQ(d.rows("SELECT count(*) FROM cycles WHERE file NOT IN (SELECT path FROM files)"),
              std::vector<std::string>{"0"});
  }
  std::ostringstream err;
  EXPECT_TRUE(update_fleet_db({db.string(), {(dir_ / "logs").string()}, 2, {}}, err)) << err.str();
  EXPECT_EQ(first_difference(dump(db), want), "");
  EXPECT_EQ(indexes(db), all_indexes);
  // The WAL is copied into the database as the run goes, not left to grow
  // with it (a killed run leaves it at its largest).
  EXPECT_LT(wal_peak, fs::file_size(db) / 2);

  // Two runs at once on a new database take turns: each file is in once.
  std::ostringstream err2;
  std::thread other([&] { update_fleet_db({(dir_ / "both.sqlite").string(), {(dir_ / "logs").string()}, 1, {}}, err2); });
  EXPECT_TRUE(update_fleet_db({(dir_ / "both.sqlite").string(), {(dir_ / "logs").string()}, 1, {}}, err)) << err.str();
  other.join();
  EXPECT_EQ(first_difference(dump(dir_ / "both.sqlite"), want), "") << err2.str();
}

}  // namespace
}  // namespace pelk_tool
