// The fleet page's figures, aggregated by SQL over a fleet written row by row
// here, each device made to show one way of counting; the expectations are
// worked out by hand from those rows.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "fleet.h"

namespace pelk_tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// OVER: four blocks of 10 s, two overloaded, one whose check is unknown.
// SS: system_server at 100, 149, 150, out of the top ten, and twice (99 and
// 120) in one block; a block without a top ten.
// MD: modem lines over two UTC days, the counter restarting in the first; a
// line whose copy was not valid; the same line again in a second log.
// CPU: cpu0 at 5, 15, 100 and 250; cpu2 at 9 once; the other CPUs never busy.
// R01 to R22: one block of 10 s each, not overloaded.
// Health: X on three devices, Y five times on one, Z on two.
const char kRows[] = R"sql(
INSERT INTO cycles (file, device, line, period_ms, online_cpus, top_rows, missing) VALUES
  ('o.log', 'OVER', 10, 10000, 4, 10, ''), ('o.log', 'OVER', 20, 10000, 4, 10, ''),
  ('o.log', 'OVER', 30, 10000, 4, 10, ''), ('o.log', 'OVER', 40, NULL, NULL, 0, 'top_header'),
  ('s.log', 'SS', 10, 10000, 4, 10, ''), ('s.log', 'SS', 20, 10000, 4, 10, ''), ('s.log', 'SS', 30, 10000, 4, 10, ''),
  ('s.log', 'SS', 40, 10000, 4, 10, ''), ('s.log', 'SS', 50, 10000, 4, 10, ''), ('s.log', 'SS', 60, NULL, NULL, 0, '');
INSERT INTO overload (file, device, line, online_cpus, overloaded) VALUES
  ('o.log', 'OVER', 10, 4, 1), ('o.log', 'OVER', 20, 4, 1), ('o.log', 'OVER', 30, 4, 0), ('o.log', 'OVER', 40, NULL, NULL);
INSERT INTO processes (file, device, line, cycle_line, rank, usage, pid, name) VALUES
  ('s.log', 'SS', 11, 10, 1, 100, 1200, 'system_server'), ('s.log', 'SS', 21, 20, 1, 149, 1200, 'system_server'),
  ('s.log', 'SS', 31, 30, 1, 150, 1200, 'system_server'), ('s.log', 'SS', 41, 40, 1, 300, 300, 'surfaceflinger'),
  ('s.log', 'SS', 51, 50, 1, 99, 1200, 'system_server'), ('s.log', 'SS', 52, 50, 2, 120, 1300, 'system_server');
INSERT INTO modem (file, device, line, cycle_line, status, md_s, utc) VALUES
  ('m1.log', 'MD', 2, 1, 'ok', 100, '2026-12-08 10:00:00'), ('m1.log', 'MD', 12, 11, 'ok', 130, '2026-12-08 10:01:00'),
  ('m1.log', 'MD', 22, 21, 'ok', 20, '2026-12-08 10:02:00'), ('m1.log', 'MD', 32, 31, 'not_valid', NULL, NULL),
  ('m1.log', 'MD', 42, 41, 'ok', 500, '2026-12-09 00:00:10'), ('m1.log', 'MD', 52, 51, 'ok', 540, '2026-12-09 00:01:10'),
  ('m2.log', 'MD', 2, 1, 'ok', 130, '2026-12-08 10:01:00');
INSERT INTO cpus (file, device, line, cycle_line, cpu0, cpu1, cpu2, cpu3, cpu4, cpu5, cpu6, cpu7) VALUES
  ('c.log', 'CPU', 1, 1, 5, 0, 9, 0, 0, 0, 0, 0), ('c.log', 'CPU', 11, 11, 15, 0, 0, 0, 0, 0, 0, 0),
  ('c.log', 'CPU', 21, 21, 100, 0, 0, 0, 0, 0, 0, 0), ('c.log', 'CPU', 31, 31, 250, 0, 0, 0, 0, 0, 0, 0);
INSERT INTO health (file, device, line, name, one_min, five_min) VALUES
  ('o.log', 'OVER', 5, 'X', 6, 4), ('s.log', 'SS', 5, 'X', 6, 4), ('m1.log', 'MD', 5, 'X', 6, 4),
  ('s.log', 'SS', 6, 'Y', 6, 4), ('s.log', 'SS', 7, 'Y', 6, 4), ('s.log', 'SS', 8, 'Y', 6, 4),
  ('s.log', 'SS', 9, 'Y', 6, 4), ('s.log', 'SS', 15, 'Y', 6, 4), ('o.log', 'OVER', 6, 'Z', 6, 4),
  ('m1.log', 'MD', 6, 'Z', 6, 4);
)sql";

TEST(FleetPage, FiguresAggregatedAcrossDevices) {
  fs::path dir = fs::temp_directory_path() / ("pelk_fleet_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string db_path = (dir / "fleet.sqlite").string(), page_path = (dir / "fleet.html").string();
  // The tables as `parse --db` makes them, from a log without the module's lines.
  std::ofstream(dir / "empty.log") << "[    0.000000] Booting Linux\n";
  std::ostringstream out, err;
  ASSERT_EQ(run_cli({"parse", (dir / "empty.log").string(), "--db", db_path}, out, err), 0) << err.str();
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  std::string rows = kRows;
  for (int r = 1; r <= 22; ++r) {
    std::string dev = (r < 10 ? "'R0" : "'R") + std::to_string(r) + "'";
    rows += "INSERT INTO cycles (file, device, line, period_ms, online_cpus, top_rows) VALUES ('r.log', " + dev + ", " +
            std::to_string(r) + ", 10000, 4, 0);\n";
    rows += "INSERT INTO overload (file, device, line, online_cpus, overloaded) VALUES ('r.log', " + dev + ", " +
            std::to_string(r) + ", 4, 0);\n";
  }
  char *error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, rows.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);

  ASSERT_TRUE(write_fleet_pages(db_path, page_path, "var Chart = function () {};", err)) << err.str();
  std::stringstream page;
  page << std::ifstream(page_path).rdbuf();
  size_t from = page.str().find("const DATA = "), to = page.str().find(";\n", from);
  ASSERT_NE(to, std::string::npos);
  json data = json::parse(page.str().substr(from + 13, to - from - 13));

  const struct {
    const char *what;
    json expected;
  } cases[] = {
      // Overloaded 20 s of the 30 s whose check is known.
      {"/overload/0", {{"device", "OVER"}, {"devices", 1}, {"over_ms", 20000}, {"seen_ms", 30000}}},
      // Ranked by time overloaded, then by name: R20, R21, R22 and SS (which
      // has no overload rows) summed.
      {"/overload/20", {{"device", nullptr}, {"devices", 4}, {"over_ms", 0}, {"seen_ms", 30000}}},
      // Five blocks with a top ten; at 100 or more: 100, 149, 150, 120.
      {"/system_server/0", {{"device", "SS"}, {"devices", 1}, {"tops", 5}, {"ss100", 4}, {"ss150", 1}}},
      // By devices, then lines.
      {"/health",
       {{{"name", "X"}, {"devices", 3}, {"lines", 3}, {"apps", 1}},
        {{"name", "Z"}, {"devices", 2}, {"lines", 2}, {"apps", 1}},
        {{"name", "Y"}, {"devices", 1}, {"lines", 5}, {"apps", 1}}}},
      // cpu0: bins 0, 1, 10, 10; cpu2: 0 four times; the others left out.
      {"/cpu_loads/0", {{"device", "CPU"}, {"devices", 1}, {"points", {{0, 5}, {1, 1}, {10, 2}}}}},
      // The 8th: +30 in 60 s, then a restart at 20: +20 in 60 s.  The 9th:
      // its first line starts the day, +40 in 60 s.
      {"/modem/0/points", {{"2026-12-08", 50, 120}, {"2026-12-09", 40, 60}}},
      {"/worst/0/device", "OVER"},
      {"/worst/0/page", "fleet-OVER.html"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    json::json_pointer at(c.what);
    ASSERT_TRUE(data.contains(at)) << data.dump();
    EXPECT_EQ(data[at], c.expected);
  }
  EXPECT_TRUE(fs::exists(dir / "fleet-OVER.html"));
  // A serial names no other directory and stays a plain link.
  EXPECT_EQ(fleet_device_page_name("out/fleet.html", "../a_b"), "out/fleet-.._2fa_5fb.html");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pelk_tool
