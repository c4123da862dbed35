// The module's report records as tables (JSON, JSON lines or CSV), one fixed
// schema per kind of row; see docs/parse.md.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "log_parse.h"

namespace pelk_tool {

// Cells: each value typed (see Cell), kept in memory for take_cells(), for a
// database to store as it is.
enum class TableFormat { Json, Jsonl, Csv, Cells };
enum class TableWhat { Cycles, Processes, Threads, Cpus, Health, Overload, Modem };
constexpr int kTableKinds = 7;

// The name of a kind (its --what word), and its column names in their order.
const char *table_name(TableWhat what);
const std::vector<const char *> &table_columns(TableWhat what);

// One value of a row in the Cells format: null, a 64-bit integer (a count
// beyond one is a real), a real (a timestamp) or text (bytes as the log had them).
struct Cell {
  enum Kind : char { Null = 'n', Int = 'i', Real = 'r', Text = 't' } kind = Null;
  int64_t i = 0;
  double r = 0;
  std::string_view text;
};
// Takes the next cell off cells; false when none is left.
bool next_cell(std::string_view &cells, Cell *cell);

// Writes rows of one table to out as they come, in flat memory.
class TableWriter {
 public:
  TableWriter(TableWhat what, TableFormat format, std::ostream &out);
  explicit TableWriter(TableWhat what);  // the Cells format
  ~TableWriter();
  LogSink sink();                 // for the parser of the file set by start_file
  void start_file(const std::string &file);
  void set_device(const std::string &device) { device_ = device; }
  void finish();
  uint64_t rows() const { return rows_; }
  // Cells format: the cells of the rows written since the last call, row after row.
  std::string take_cells();

 private:
  void begin_row(const LogPlace &at, uint64_t line);
  void end_row();
  void null();
  void num(long long v);
  void unum(unsigned long long v);
  void boolean(bool v);
  void str(std::string_view s);
  void raw(std::string_view s);  // a number as printed
  void cell(Cell::Kind kind, const void *bytes, size_t n);
  void total(const Cycle &c);    // the block's total load, null when beyond 64 bits
  void time(const LocalTime &t);
  void key();
  void flush(bool all);
  void put_cycle(const Cycle &c);  // the row or rows of a block, for the table's kind
  void put_cycle_row(const Cycle &c);
  void put_process_rows(const Cycle &c);
  void put_cpus_row(const Cycle &c);
  void put_overload_row(const Cycle &c);
  void put_modem_row(const Cycle &c);
  void split(const Cycle &c);
  void put_threads(const ThreadList &t);
  void put_health(const HealthLine &h);

  TableWhat what_;
  TableFormat format_;
  std::ostream *out_;
  const std::vector<const char *> &cols_;
  std::string buf_;
  std::string file_, device_;
  size_t col_ = 0;
  uint64_t rows_ = 0;
  int streak_ = 0;  // consecutive overloaded blocks of the current file
};

}  // namespace pelk_tool
