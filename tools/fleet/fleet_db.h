// A fleet's logs in one SQLite database: every table `parse` writes, one
// SQL table per kind with the same columns, and a `files` table of what was
// read.  Runs are incremental (only new or changed files are read), each file
// goes in in one transaction (a run killed at any moment leaves whole files
// only), and files are read on several threads with one writer.  See
// docs/parse.md for the schema.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "log_input.h"

namespace pelk_tool {

struct FleetOptions {
  std::string db;                  // the database file, made when missing
  std::vector<std::string> paths;  // files and directories
  unsigned jobs = 0;               // reader threads; 0: one per CPU
  InputLimits limits;
  unsigned wal_pages = 8192;       // the WAL's size, in pages, past which the writer waits for it to be copied
};

struct FleetSummary {
  uint64_t files = 0;      // files found under the paths
  uint64_t read = 0;       // read and written (new or changed)
  uint64_t unchanged = 0;  // left as they were (same size and time, or same content)
  uint64_t failed = 0;     // damaged, refused or unreadable (recorded with their reason)
  uint64_t rows = 0;       // rows written
  uint64_t bytes = 0;      // bytes of the files read
  uint64_t damaged_lines = 0;
};

// Brings the database up to date with the logs under opts.paths.  Messages
// (damaged lines, files that cannot be read) go to err.  Returns false when a
// file could not be read whole (it is recorded with its reason), a directory
// could not be listed, or the database cannot be written.
bool update_fleet_db(const FleetOptions &opts, std::ostream &err, FleetSummary *summary = nullptr);

}  // namespace pelk_tool
