// The page `pelk_perf_util plot` draws: one log's reports, collected as the
// log is read, written as one self-contained HTML page of charts.  The page's
// script and style are page.js and page.css, compiled in.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "log_parse.h"

namespace pelk_tool {

class Page {
 public:
  Page();
  ~Page();
  // Collects the records of the log being read.
  LogSink sink();
  // Writes the page, titled after the log, with the Chart.js library's text
  // inlined; damaged counts the lines the reader left out.
  void write(std::ostream &out, const std::string &title, const std::string &chartjs, uint64_t damaged) const;

  struct Collected;

 private:
  std::unique_ptr<Collected> c_;
};

// The page's own script and style (page.js, page.css).
const char *page_script();
const char *page_style();

// A page file opened for writing, and closed once written; false, with the
// message on err, when it cannot be written.
bool open_page_file(std::ofstream &file, const std::string &path, std::ostream &err);
bool close_page_file(std::ofstream &file, const std::string &path, std::ostream &err);

}  // namespace pelk_tool
