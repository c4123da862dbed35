// Formats what a simulation produced: as the kernel log prints it with the
// other events as marked lines, or as one JSON object per event.
#pragma once

#include <string>
#include <vector>

#include "out_event.h"

namespace pelk_tool {

enum class Format { Text, Jsonl };
// The format a command's --format names: "text" (also "dmesg", its name in
// `run` before), or "jsonl".  False for any other name.
bool format_named(const std::string &name, Format *f);

// "[%5lu.%06lu]", the kernel log's timestamp of a monotonic time.
std::string timestamp(u64 ts_ns);
// Appends c, or "\xNN" for a control byte or DEL: the rule of this program's
// own texts (marked lines, a refused scenario's place and excerpt), where
// UTF-8 passes as it is.  Two other rules stay apart on purpose: the kernel
// log's own (run's kmsg_text: every byte from DEL up and the backslash too,
// as /dev/kmsg gives a record), and that of a message quoting a log or an
// archive entry (shown in log_parse.h: C1 controls and the backslash too, so
// that what a phone wrote is told apart from the escape).
void append_printable(std::string &out, unsigned char c);
// A text as a marked line shows it: backslash, quote and control bytes escaped.
std::string escape_text(const std::string &s);

std::string format_text(const OutEvent &e);   // one line, with its newline
std::string format_jsonl(const OutEvent &e);  // one JSON object and a newline
// Every event but the player's notes (warnings, written apart by the caller).
std::string format_all(const std::vector<OutEvent> &events, Format f);

}  // namespace pelk_tool
