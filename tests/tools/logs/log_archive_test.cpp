// Compressed logs and archives (bug report zips, tar files, dmesg.txt.gz)
// give the same tables as the plain logs they hold; damage stops a file with
// what was read before kept.  Fixtures are written with libarchive from the
// golden logs of the examples.
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "tools/logs/archive_writer.h"

namespace pelk_tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string golden(const char *name) {
  std::ifstream in(fs::path(PELK_EXPECTED_DIR) / (std::string(name) + ".txt"), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_FALSE(ss.str().empty()) << name;
  return ss.str();
}

struct Table {
  int status;
  json rows;
  std::string err;
};

Table parse_json(const fs::path &log, const char *what) {
  std::ostringstream out, err;
  int status = run_cli({"parse", log.string(), "--what", what}, out, err);
  return {status, json::parse(out.str()), err.str()};
}

// Rows of a plain log as they come out of an archive entry (or stream) named file.
json renamed(json rows, const std::string &file) {
  for (json &r : rows) r["file"] = file;
  return rows;
}

class ArchivedLogs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pelk_archive_" + std::to_string(getpid()));
    fs::create_directories(dir_);
    // Long enough for many decompressed blocks, lines cut across them.
    for (const char *n : {"system_server", "modem", "app_health", "cpus", "lifecycle", "sustained_overload"})
      big_ += golden(n);
    while (big_.size() < (512u << 10)) big_ += big_;
    std::ofstream(dir_ / "big.log", std::ios::binary) << big_;
    std::ofstream(dir_ / "overload.log", std::ios::binary) << golden("sustained_overload");
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string big_;
};

TEST_F(ArchivedLogs, OneCompressedStreamIsTheLogItHolds) {
  // Detected by content: no name says what the file is.
  const std::pair<const char *, int> streams[] = {{"dmesg.txt.gz", ARCHIVE_FILTER_GZIP},
                                                  {"last_kmsg", ARCHIVE_FILTER_XZ},
                                                  {"kernel.bz2", ARCHIVE_FILTER_BZIP2},
                                                  {"dmesg.zst", ARCHIVE_FILTER_ZSTD}};
  const char *kinds[] = {"cycles", "processes", "threads"};
  json plain[3];
  for (int k = 0; k < 3; ++k) {
    Table t = parse_json(dir_ / "big.log", kinds[k]);
    ASSERT_EQ(t.status, 0);
    ASSERT_GT(t.rows.size(), 0u);
    plain[k] = t.rows;
  }
  for (const auto &[name, filter] : streams) {
    SCOPED_TRACE(name);
    fs::path p = dir_ / name;
    write_archive(p, "raw", filter, {{"dmesg", big_}});
    for (int k = 0; k < 3; ++k) {
      Table packed = parse_json(p, kinds[k]);
      EXPECT_EQ(packed.status, 0) << packed.err;
      EXPECT_EQ(packed.rows, renamed(plain[k], p.string())) << kinds[k];
    }
  }

  // Standard input too.
  ASSERT_NE(freopen((dir_ / "dmesg.zst").c_str(), "rb", stdin), nullptr);
  std::ostringstream out, err;
  EXPECT_EQ(run_cli({"parse", "-", "--what", "threads"}, out, err), 0);
  EXPECT_EQ(json::parse(out.str()), renamed(plain[2], "-"));

  // Two gzip members one after the other are one log.
  write_archive(dir_ / "a.gz", "raw", ARCHIVE_FILTER_GZIP, {{"a", big_}});
  write_archive(dir_ / "b.gz", "raw", ARCHIVE_FILTER_GZIP, {{"b", golden("sustained_overload")}});
  std::ofstream(dir_ / "both.log", std::ios::binary) << big_ << golden("sustained_overload");
  std::ofstream(dir_ / "both.gz", std::ios::binary)
      << std::ifstream(dir_ / "a.gz", std::ios::binary).rdbuf() << std::ifstream(dir_ / "b.gz", std::ios::binary).rdbuf();
  Table both = parse_json(dir_ / "both.gz", "cycles");
  EXPECT_EQ(both.status, 0) << both.err;
  EXPECT_EQ(both.rows, renamed(parse_json(dir_ / "both.log", "cycles").rows, (dir_ / "both.gz").string()));
}

TEST_F(ArchivedLogs, ArchiveLogEntriesAreLogsOfTheirOwnInTheArchivesOrder) {
  std::string report = "== dumpstate\n------ KERNEL LOG (dmesg) ------\n" + golden("system_server");
  std::string kmsg = golden("modem");
  // A damaged line, reported with its entry and line number.
  size_t at = kmsg.find("[K]  Cpus Usage");
  size_t eol = kmsg.find('\n', at);
  kmsg.erase(eol - 12, 12);
  std::string bad_line = std::to_string(std::count(kmsg.begin(), kmsg.begin() + (long)at, '\n') + 1);
  std::string stray = golden("cpus");  // module lines in entries that are not logs
  Entries entries = {{"version.txt", "2.0\n"},
                     {"bugreport-phone-2026-12-08.txt", report},
                     {"screenshot.png", stray},
                     {"FS/proc/last_kmsg", kmsg},
                     {"FS/data/misc/logd/event-log.bin", stray},
                     {"proto/kernel.pb", stray}};
  std::ofstream(dir_ / "report.txt", std::ios::binary) << report;
  std::ofstream(dir_ / "kmsg", std::ios::binary) << kmsg;

  for (const auto &[file, format, filter] :
       {std::tuple{"bugreport.zip", "zip", ARCHIVE_FILTER_NONE}, std::tuple{"logs.tar.gz", "pax", ARCHIVE_FILTER_GZIP},
        std::tuple{"logs.tar", "pax", ARCHIVE_FILTER_NONE}}) {
    SCOPED_TRACE(file);
    fs::path p = dir_ / file;
    write_archive(p, format, filter, entries);
    for (const char *what : {"cycles", "processes", "cpus"}) {
      SCOPED_TRACE(what);
      json want = renamed(parse_json(dir_ / "report.txt", what).rows, p.string() + ":bugreport-phone-2026-12-08.txt");
      for (const json &r : renamed(parse_json(dir_ / "kmsg", what).rows, p.string() + ":FS/proc/last_kmsg"))
        want.push_back(r);
      Table got = parse_json(p, what);
      EXPECT_EQ(got.status, 0);
      EXPECT_EQ(got.rows, want);
      EXPECT_NE(got.err.find("pelk_perf_util: " + p.string() + ":FS/proc/last_kmsg:" + bad_line +
                             ": damaged Cpus Usage line: "),
                std::string::npos)
          << got.err;
    }
  }
}

TEST_F(ArchivedLogs, DamageStopsTheFileKeepingWhatWasReadBefore) {
  write_archive(dir_ / "dmesg.gz", "raw", ARCHIVE_FILTER_GZIP, {{"dmesg", big_}});
  write_archive(dir_ / "bugreport.zip", "zip", ARCHIVE_FILTER_NONE,
                {{"first.txt", golden("sustained_overload")}, {"second.txt", big_}});
  std::string gz, zip;
  {
    std::stringstream a, b;
    a << std::ifstream(dir_ / "dmesg.gz", std::ios::binary).rdbuf();
    b << std::ifstream(dir_ / "bugreport.zip", std::ios::binary).rdbuf();
    gz = a.str(), zip = b.str();
  }
  json whole = parse_json(dir_ / "big.log", "cycles").rows;
  json first = parse_json(dir_ / "overload.log", "cycles").rows;

  json both = first;
  both.insert(both.end(), whole.begin(), whole.end());

  // Damage is found where the data stops decoding, or at the end of the
  // stream or entry by its check sum; rows before it are those of the log.
  struct Case {
    const char *name;
    std::string bytes;
    std::string err;  // the message's start
    size_t kept;      // rows read before the damage, at least
  };
  std::string flipped = zip, gz_flipped = gz;
  flipped[zip.size() / 2] ^= 0x55;  // inside the second entry's deflated data
  gz_flipped[gz.size() / 2] ^= 0x55;
  const Case cases[] = {
      {"cut.gz", gz.substr(0, gz.size() / 2), "cut.gz: damaged: ", whole.size() / 4},
      {"flipped.gz", gz_flipped, "flipped.gz: damaged: ", whole.size() / 4},
      {"flipped.zip", flipped, "flipped.zip:second.txt: damaged: ", first.size() + whole.size() / 8},
      {"cut.zip", zip.substr(0, zip.size() / 2), "cut.zip", 0},
      {"only-header.gz", gz.substr(0, 12), "only-header.gz: damaged: ", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::path p = dir_ / c.name;
    std::ofstream(p, std::ios::binary) << c.bytes;
    Table r = parse_json(p, "cycles");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pelk_perf_util: " + (dir_ / c.err).string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
    const json &want = c.bytes[0] == 'P' ? both : whole;  // a zip begins with "PK"
    ASSERT_GE(r.rows.size(), c.kept);
    for (size_t i = 0; i < c.kept; ++i) {
      json got = r.rows[i], w = want[i];
      got.erase("file"), w.erase("file");
      ASSERT_EQ(got, w) << i;
    }
  }
  // The other logs named with a damaged one are still read.
  std::ostringstream out, err;
  EXPECT_EQ(run_cli({"parse", (dir_ / "cut.gz").string(), (dir_ / "overload.log").string(), "--format", "csv"}, out, err), 1);
  EXPECT_NE(out.str().find((dir_ / "overload.log").string() + ","), std::string::npos);
}

// A decompression bomb is refused by its size or its ratio of expansion,
// nested compression named as such; a limit raised by option lets it through.
TEST_F(ArchivedLogs, BombsAreRefusedUnlessTheLimitsAreRaised) {
  write_archive(dir_ / "big.gz", "raw", ARCHIVE_FILTER_GZIP, {{"big", big_}});
  write_archive(dir_ / "inner.gz", "raw", ARCHIVE_FILTER_GZIP, {{"inner", std::string(8u << 20, '\n')}});
  std::stringstream inner;
  inner << std::ifstream(dir_ / "inner.gz", std::ios::binary).rdbuf();
  write_archive(dir_ / "nested.gz", "raw", ARCHIVE_FILTER_GZIP, {{"nested", inner.str()}});
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // a piece of the message
  };
  const std::string big = (dir_ / "big.gz").string(), nested = (dir_ / "nested.gz").string();
  const Case cases[] = {
      {{big}, 0, ""},
      {{big, "--max-decompressed", "100K"}, 1, big + ": refused: expands beyond 102400 bytes (--max-decompressed)"},
      {{nested}, 1, nested + ": refused: 2 levels of compression expand more than 1000 times the file's size"},
      {{nested, "--max-ratio=1000000"}, 0, ""},
      {{nested, "--max-ratio=1000000", "--max-decompressed=4M"}, 1, "2 levels of compression expand beyond 4194304"},
      {{nested, "--max-ratio=0"}, 2, "needs a positive count"},
      {{nested, "--max-decompressed=1Q"}, 2, "needs a positive count"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[1 % c.args.size()]);
    std::vector<std::string> args = {"parse"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::ostringstream out, err;
    EXPECT_EQ(run_cli(args, out, err), c.status) << err.str();
    EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
    EXPECT_EQ(err.str().find(": damaged: "), std::string::npos) << err.str();  // not taken for damage
  }
}

// Every input kept from fuzzing the reading of log files is read again
// (under the sanitizers in the sanitizer build): a table or a reported
// failure, and the table is well formed either way.
TEST(ArchivedLogsCorpus, FuzzCorpusStillReads) {
  int files = 0;
  for (const auto &e : fs::directory_iterator(fs::path(__FILE__).parent_path() / "../../../fuzz/corpus_archive")) {
    std::ostringstream out, err;
    int status = run_cli({"parse", e.path().string(), "--what", "cycles"}, out, err);
    EXPECT_TRUE(status == 0 || status == 1) << e.path() << ": " << err.str();
    EXPECT_TRUE(json::parse(out.str(), nullptr, false).is_array()) << e.path();
    files++;
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace pelk_tool
