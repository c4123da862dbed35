// Reading kernel logs from where they are: files, directories, standard
// input, compressed logs and archives (bug report zips, tar files).
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "log_parse.h"

namespace pelk_tool {

// How far a compressed log or an archive may expand, per input file: past
// these it is refused (a decompression bomb), with what was read kept.
struct InputLimits {
  uint64_t max_bytes = 16ull << 30;  // decompressed bytes
  uint64_t max_ratio = 1000;         // decompressed bytes per byte of the file, once past 1 MiB
};

// Reads the logs named by paths (files, directories, "-" for standard input)
// through one parser per file; the sink maker gives each file its sink.
// Returns false when a path could not be read (reported on err).
bool read_logs(const std::vector<std::string> &paths,
               const std::function<LogSink(const std::string &file)> &sink_for, std::ostream &err,
               uint64_t *damaged, const InputLimits &limits = {});

// The files the paths name, in the order read_logs reads them: a directory's
// files (recursively, links to directories not followed) in name order, any
// other path ("-" too) as it is.  Returns false when a directory could not be
// listed (reported on err); the rest is still listed.
bool list_logs(const std::vector<std::string> &paths, std::vector<std::string> *files, std::ostream &err);

}  // namespace pelk_tool
