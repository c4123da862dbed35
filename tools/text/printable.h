// How this program's own texts show bytes that are not printable: a control
// byte or DEL as "\xNN", so that no text can make a line of its own or reach
// a terminal as an escape sequence; UTF-8 passes as it is.  Marked lines and
// a refused scenario's place and excerpt use it.
//
// Two other rules stay apart on purpose, each where it is used: the kernel
// log's own (kmsg_text in commands/run.cpp: every byte from DEL up and the
// backslash too, as /dev/kmsg gives a record, so that `run` prints what
// `dmesg` would), and that of a message quoting a phone's log or an archive
// entry (shown in logs/log_parse.h: C1 controls and the backslash too, so
// that what the log wrote is told apart from the escape).
#pragma once

#include <cstdio>
#include <string>

namespace pelk_tool {

// Appends c, or "\xNN" for a control byte or DEL.
inline void append_printable(std::string &out, unsigned char c) {
  if (c < 0x20 || c == 0x7f) {
    char buf[8];
    snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
  } else {
    out += (char)c;
  }
}

// The whole text, each byte as append_printable gives it.
inline std::string printable(const std::string &s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) append_printable(out, c);
  return out;
}

}  // namespace pelk_tool
