#include "output.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace pelk_tool {

namespace {

using ojson = nlohmann::ordered_json;

bool valid_utf8(const std::string &s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = (unsigned char)s[i];
    size_t n;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xe0) == 0xc0) { n = 1; cp = c & 0x1f; }
    else if ((c & 0xf0) == 0xe0) { n = 2; cp = c & 0x0f; }
    else if ((c & 0xf8) == 0xf0) { n = 3; cp = c & 0x07; }
    else return false;
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      unsigned char d = (unsigned char)s[i + k];
      if ((d & 0xc0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3f);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10ffff ||
        (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += n + 1;
  }
  return true;
}

std::string hex_of(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : s) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// Sets key to s; a text that is not UTF-8 also gets key_hex with its bytes.
void put_text(ojson &j, const char *key, const std::string &s) {
  j[key] = s;
  if (!valid_utf8(s)) j[std::string(key) + "_hex"] = hex_of(s);
}

// The same for a list of texts: key_hex holds every one's bytes when any
// of them is not UTF-8.
void put_texts(ojson &j, const char *key, const std::vector<std::string> &v) {
  ojson list = ojson::array(), hex = ojson::array();
  bool valid = true;
  for (const std::string &s : v) {
    list.push_back(s);
    hex.push_back(hex_of(s));
    valid = valid && valid_utf8(s);
  }
  j[key] = list;
  if (!valid) j[std::string(key) + "_hex"] = hex;
}

const char *type_name(OutEvent::Type t) {
  switch (t) {
    case OutEvent::Printk: return "printk";
    case OutEvent::Uevent: return "uevent";
    case OutEvent::EventReport: return "event_report";
    case OutEvent::ProcRead: return "proc_read";
    case OutEvent::ProcWrite: return "proc_write";
    case OutEvent::Load: return "load";
    case OutEvent::Unload: return "unload";
    case OutEvent::Param: return "param";
    case OutEvent::Suspend: return "suspend";
    case OutEvent::Note: return "note";
    case OutEvent::Violation: return "violation";
    case OutEvent::SleepHistory: return "sleep_history";
  }
  return "?";
}

// One record of the module's sleep_history, decoded from its little-endian bytes.
struct SleepDay {
  u64 year = 0, month = 0, day = 0;
  u64 today_time[5] = {}, base_time[5] = {};
};

u64 little_endian(const std::string &b, size_t off, size_t n) {
  u64 v = 0;
  for (size_t i = n; i-- > 0;) v = v << 8 | (unsigned char)(off + i < b.size() ? b[off + i] : 0);
  return v;
}

std::vector<SleepDay> sleep_days(const std::string &bytes) {
  std::vector<SleepDay> days(5);
  for (size_t r = 0; r < days.size(); r++) {
    size_t o = 96 * r;
    days[r].year = little_endian(bytes, o, 4);
    days[r].month = little_endian(bytes, o + 4, 4);
    days[r].day = little_endian(bytes, o + 8, 4);
    for (size_t i = 0; i < 5; i++) {
      days[r].today_time[i] = little_endian(bytes, o + 16 + 8 * i, 8);
      days[r].base_time[i] = little_endian(bytes, o + 56 + 8 * i, 8);
    }
  }
  return days;
}

// "2026-12-09 today=1/2/3/4/5 base=6/7/8/9/10; ..." (microseconds).
std::string sleep_days_text(const std::string &bytes) {
  std::string out;
  for (const SleepDay &d : sleep_days(bytes)) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s%04llu-%02llu-%02llu today=", out.empty() ? "" : "; ", (unsigned long long)d.year,
             (unsigned long long)d.month, (unsigned long long)d.day);
    out += buf;
    for (size_t i = 0; i < 5; i++) {
      if (i) out += '/';
      out += std::to_string(d.today_time[i]);
    }
    out += " base=";
    for (size_t i = 0; i < 5; i++) {
      if (i) out += '/';
      out += std::to_string(d.base_time[i]);
    }
  }
  return out;
}

std::string join(const std::vector<std::string> &v) {
  // Appended piece by piece: g++ 12 at -O3 gives a false -Wrestrict for
  // a temporary built from a literal and a string.
  std::string out;
  for (const std::string &s : v) {
    if (!out.empty()) out += ' ';
    out += escape_text(s);
  }
  return out;
}

}  // namespace

bool format_named(const std::string &name, Format *f) {
  if (name == "text" || name == "dmesg") *f = Format::Text;
  else if (name == "jsonl") *f = Format::Jsonl;
  else return false;
  return true;
}

std::string timestamp(u64 ts_ns) {
  char buf[48];
  snprintf(buf, sizeof buf, "[%5lu.%06lu]", (unsigned long)(ts_ns / 1000000000ull),
           (unsigned long)(ts_ns % 1000000000ull / 1000));
  return buf;
}

std::string escape_text(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: append_printable(out, c);
    }
  }
  return out;
}

std::string format_text(const OutEvent &e) {
  // The kernel log's line as dmesg prints it; a record the module left
  // without its newline still ends the line.
  if (e.type == OutEvent::Printk) return timestamp(e.ts_ns) + " " + e.text + "\n";
  std::string s = timestamp(e.ts_ns) + " ";
  auto sp = [](const std::string &t) { return t.empty() ? t : " " + t; };
  auto err = [&](const char *what) { return e.result ? std::string(" ") + what + " " + std::to_string(e.result) : ""; };
  switch (e.type) {
    case OutEvent::Uevent: s += "<uevent " + escape_text(e.action) + err("error") + ">" + sp(join(e.env)); break;
    case OutEvent::EventReport:
      s += "<event_report> " + escape_text(e.name) + " " + std::to_string(e.value) + " " + std::to_string(e.pid) +
           " \"" + escape_text(e.text) + "\"";
      break;
    case OutEvent::ProcRead:
      s += "<proc_read " + escape_text(e.name) + err("error") + ">" + sp(escape_text(e.text));
      break;
    case OutEvent::ProcWrite:
      s += "<proc_write " + escape_text(e.name) + " \"" + escape_text(e.text) + "\"> " + std::to_string(e.result);
      break;
    case OutEvent::Load:
      s += "<insmod " + escape_text(e.name) + (e.text.empty() ? "" : " " + escape_text(e.text)) + "> " +
           std::to_string(e.result);
      break;
    case OutEvent::Unload: s += "<rmmod " + escape_text(e.name) + "> " + std::to_string(e.result); break;
    case OutEvent::Param:
      s += "<param " + escape_text(e.name) + "=" + escape_text(e.text) + "> " + std::to_string(e.result);
      break;
    case OutEvent::Suspend: {
      char buf[48];
      snprintf(buf, sizeof buf, "%lu.%06lu", (unsigned long)(e.duration_ns / 1000000000ull),
               (unsigned long)(e.duration_ns % 1000000000ull / 1000));
      s += std::string("<suspend ") + buf + ">";
      break;
    }
    case OutEvent::Note: s += "<note> " + escape_text(e.text); break;
    case OutEvent::Violation: s += "<violation> " + escape_text(e.text); break;
    case OutEvent::SleepHistory: s += "<sleep_history> " + sleep_days_text(e.text); break;
    case OutEvent::Printk: break;
  }
  return s + "\n";
}

std::string format_jsonl(const OutEvent &e) {
  ojson j;
  j["seq"] = e.seq;
  j["ts_ns"] = e.ts_ns;
  j["type"] = type_name(e.type);
  switch (e.type) {
    case OutEvent::Printk:
      j["level"] = e.level;
      put_text(j, "text", e.text);
      j["newline"] = e.newline;
      break;
    case OutEvent::Uevent:
      put_text(j, "action", e.action);
      put_texts(j, "env", e.env);
      j["result"] = e.result;
      break;
    case OutEvent::EventReport:
      put_text(j, "event_code", e.name);
      j["value"] = e.value;
      j["pid"] = e.pid;
      put_text(j, "text", e.text);
      break;
    case OutEvent::ProcRead:
      put_text(j, "path", e.name);
      put_text(j, "content", e.text);
      j["result"] = e.result;
      break;
    case OutEvent::ProcWrite:
      put_text(j, "path", e.name);
      put_text(j, "data", e.text);
      j["result"] = e.result;
      break;
    case OutEvent::Load:
      put_text(j, "module", e.name);
      put_text(j, "params", e.text);
      j["result"] = e.result;
      break;
    case OutEvent::Unload:
      put_text(j, "module", e.name);
      j["result"] = e.result;
      break;
    case OutEvent::Param:
      put_text(j, "name", e.name);
      put_text(j, "value", e.text);
      j["result"] = e.result;
      break;
    case OutEvent::Suspend: j["duration_ns"] = e.duration_ns; break;
    case OutEvent::Note:
    case OutEvent::Violation: put_text(j, "text", e.text); break;
    case OutEvent::SleepHistory: {
      ojson days = ojson::array();
      for (const SleepDay &d : sleep_days(e.text)) {
        ojson o;
        o["year"] = d.year;
        o["month"] = d.month;
        o["day"] = d.day;
        o["today_time"] = ojson(std::vector<u64>(d.today_time, d.today_time + 5));
        o["base_time"] = ojson(std::vector<u64>(d.base_time, d.base_time + 5));
        days.push_back(o);
      }
      j["days"] = days;
      break;
    }
  }
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string format_all(const std::vector<OutEvent> &events, Format f) {
  std::string out;
  for (const OutEvent &e : events) {
    if (e.type == OutEvent::Note) continue;  // warnings of the player, not output
    out += f == Format::Text ? format_text(e) : format_jsonl(e);
  }
  return out;
}

}  // namespace pelk_tool
