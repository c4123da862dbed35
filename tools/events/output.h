// Formats what a simulation produced: as the kernel log prints it with the
// other events as marked lines, or as one JSON object per event.
#pragma once

#include <string>
#include <vector>

#include "out_event.h"
#include "printable.h"

namespace pelk_tool {

enum class Format { Text, Jsonl };
// The format a command's --format names: "text" (also "dmesg", its name in
// `run` before), or "jsonl".  False for any other name.
bool format_named(const std::string &name, Format *f);

// "[%5lu.%06lu]", the kernel log's timestamp of a monotonic time.
std::string timestamp(u64 ts_ns);
// A text as a marked line shows it: backslash, quote and control bytes escaped.
std::string escape_text(const std::string &s);

std::string format_text(const OutEvent &e);   // one line, with its newline
std::string format_jsonl(const OutEvent &e);  // one JSON object and a newline
// Every event but the player's notes (warnings, written apart by the caller).
std::string format_all(const std::vector<OutEvent> &events, Format f);

}  // namespace pelk_tool
