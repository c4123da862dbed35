// Reading the logs named on the command line: plain files, directories,
// standard input, and the compressed logs and archives (bug report zips, tar
// files, dmesg.txt.gz, last_kmsg.xz) engineers receive.  What a file is gets
// decided by its content through libarchive; the decompressed text is handed
// to the parser block by block, so an archive is never held in memory.
#include "log_input.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

namespace pelk_tool {

namespace {

// libarchive's view of an open file.  Seeking (a zip's directory is at its
// end) and skipping are offered for regular files only.
struct Source {
  FILE *f;
  char buf[64 * 1024];
  int read_errno = 0;  // a read of the file itself failed
  // A gzip member's header after the file's first bytes: the file may hold
  // several members (or the bytes only look like one).
  uint64_t offset = 0;
  char tail[2] = {};
  bool later_gzip_header = false;
};

constexpr std::string_view kGzipHeader("\x1f\x8b\x08", 3);

void look_for_gzip_header(Source *s, size_t n) {
  if (s->later_gzip_header || n == 0) return;
  std::string_view block(s->buf, n);
  if (s->offset > 0) {
    char joint[4] = {s->tail[0], s->tail[1], s->buf[0], n > 1 ? s->buf[1] : '\0'};
    if (std::string_view(joint, n > 1 ? 4 : 3).find(kGzipHeader) != std::string_view::npos) s->later_gzip_header = true;
  }
  if (block.find(kGzipHeader, s->offset == 0 ? 1 : 0) != std::string_view::npos) s->later_gzip_header = true;
  if (n >= 2) s->tail[0] = s->buf[n - 2], s->tail[1] = s->buf[n - 1];
  else s->tail[0] = s->tail[1], s->tail[1] = s->buf[0];
  s->offset += n;
}

la_ssize_t source_read(struct archive *a, void *data, const void **out) {
  Source *s = static_cast<Source *>(data);
  size_t n = fread(s->buf, 1, sizeof s->buf, s->f);
  if (n == 0 && ferror(s->f)) {
    s->read_errno = errno ? errno : EIO;
    archive_set_error(a, s->read_errno, "%s", strerror(s->read_errno));
    return ARCHIVE_FATAL;
  }
  look_for_gzip_header(s, n);
  *out = s->buf;
  return static_cast<la_ssize_t>(n);
}

la_int64_t source_seek(struct archive *, void *data, la_int64_t offset, int whence) {
  Source *s = static_cast<Source *>(data);
  if (fseeko(s->f, offset, whence) != 0) return ARCHIVE_FATAL;
  s->offset = static_cast<uint64_t>(ftello(s->f));
  return static_cast<la_int64_t>(s->offset);
}

la_int64_t source_skip(struct archive *, void *data, la_int64_t request) {
  Source *s = static_cast<Source *>(data);
  if (fseeko(s->f, request, SEEK_CUR) != 0) return 0;
  s->offset += static_cast<uint64_t>(request);
  return request;
}

// libarchive does not check a gzip stream's trailer, so a changed byte that
// still inflates would pass unseen.  For a file of one gzip member the CRC-32
// and length of the text read must be those of its last eight bytes.
struct GzipCheck {
  uLong crc = crc32(0, nullptr, 0);
  uint64_t size = 0;
};

bool gzip_trailer_matches(FILE *f, const GzipCheck &c) {
  unsigned char t[8];
  if (fseeko(f, -8, SEEK_END) != 0 || fread(t, 1, 8, f) != 8) return false;
  auto le32 = [&](int at) {
    return uint32_t(t[at]) | uint32_t(t[at + 1]) << 8 | uint32_t(t[at + 2]) << 16 | uint32_t(t[at + 3]) << 24;
  };
  return le32(0) == uint32_t(c.crc) && le32(4) == uint32_t(c.size);
}

struct ArchiveFree {
  void operator()(struct archive *a) const { archive_read_free(a); }
};
using Archive = std::unique_ptr<struct archive, ArchiveFree>;

// The compressions and containers understood.  Only libarchive's built-in
// decoders (no helper programs), and no container whose detection could
// mistake a text log for it; "raw" is a single stream or a plain file.
Archive open_archive(Source *s, bool regular) {
  Archive a(archive_read_new());
  if (!a) return a;
  archive_read_support_filter_gzip(a.get());
  archive_read_support_filter_bzip2(a.get());
  archive_read_support_filter_xz(a.get());
  archive_read_support_filter_zstd(a.get());
  archive_read_support_filter_lz4(a.get());
  archive_read_support_filter_compress(a.get());
  archive_read_support_format_zip(a.get());
  archive_read_support_format_tar(a.get());
  archive_read_support_format_raw(a.get());
  archive_read_support_format_empty(a.get());
  archive_read_set_callback_data(a.get(), s);
  archive_read_set_read_callback(a.get(), source_read);
  if (regular) {
    archive_read_set_seek_callback(a.get(), source_seek);
    archive_read_set_skip_callback(a.get(), source_skip);
  }
  return a;
}

// Entries of an archive worth reading as kernel logs: text files by their
// name (a bug report's main .txt, dmesg.txt, kernel.log) and the usual names
// of kernel logs pulled off a phone.
bool worth_reading(struct archive_entry *e) {
  if (archive_entry_filetype(e) != AE_IFREG) return false;
  const char *p = archive_entry_pathname_utf8(e);
  if (!p) p = archive_entry_pathname(e);
  if (!p) return false;
  std::string_view name(p);
  std::string_view base = name.substr(name.find_last_of('/') + 1);
  auto ends = [&](std::string_view suffix) {
    return base.size() > suffix.size() && base.substr(base.size() - suffix.size()) == suffix;
  };
  return ends(".txt") || ends(".log") || base == "dmesg" || base == "kmsg" || base == "last_kmsg" ||
         base == "console-ramoops" || base == "console-ramoops-0";
}

std::string entry_name(struct archive_entry *e) {
  const char *p = archive_entry_pathname_utf8(e);
  if (!p) p = archive_entry_pathname(e);
  return p ? p : "";
}

class Reader {
 public:
  Reader(const std::function<LogSink(const std::string &file)> &sink_for, std::ostream &err, uint64_t *damaged,
         const InputLimits &limits)
      : sink_for_(sink_for), err_(err), damaged_(damaged), limits_(limits) {}

  bool path(const std::string &path);

 private:
  bool plain(const std::string &name, FILE *f);
  bool file(const std::string &path, FILE *f);
  bool data(struct archive *a, const Source &s, const std::string &name, GzipCheck *check = nullptr);
  void stopped(struct archive *a, const Source &s, const std::string &name);

  const std::function<LogSink(const std::string &file)> &sink_for_;
  std::ostream &err_;
  uint64_t *damaged_;
  const InputLimits &limits_;
  uint64_t expanded_ = 0;  // decompressed bytes of the file being read
  std::vector<char> buf_ = std::vector<char>(1 << 20);
};

// A plain log, read as it is.
bool Reader::plain(const std::string &name, FILE *f) {
  LogSink sink = sink_for_(name);
  LogParser p(sink, name, err_);
  size_t n;
  while ((n = fread(buf_.data(), 1, buf_.size(), f)) > 0) p.feed(buf_.data(), n);
  bool ok = !ferror(f);
  p.finish();
  *damaged_ += p.damaged();
  if (!ok) err_ << "pelk_perf_util: error reading " << shown(name) << "\n";
  return ok;
}

// Reading stopped inside the file: its own read failed, or the archive or
// the compressed stream is damaged.
void Reader::stopped(struct archive *a, const Source &s, const std::string &name) {
  if (s.read_errno) {
    err_ << "pelk_perf_util: error reading " << shown(name) << "\n";
  } else {
    const char *why = archive_error_string(a);
    err_ << "pelk_perf_util: " << shown(name) << ": damaged: " << (why ? shown(why) : "unreadable") << "\n";
  }
}

// The decompressed data of the current entry (or of the one stream) as one
// log named name; what was read before damage is kept.
bool Reader::data(struct archive *a, const Source &s, const std::string &name, GzipCheck *check) {
  LogSink sink = sink_for_(name);
  LogParser p(sink, name, err_);
  const void *block;
  size_t size;
  la_int64_t offset;
  int r;
  while ((r = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
    expanded_ += size;
    uint64_t read = s.offset > 0 ? s.offset : 1;
    bool too_big = expanded_ > limits_.max_bytes;
    if (too_big || (expanded_ > (1u << 20) && expanded_ / read >= limits_.max_ratio)) {
      p.finish();
      *damaged_ += p.damaged();
      int levels = archive_filter_count(a) - 1;
      err_ << "pelk_perf_util: " << shown(name) << ": refused: "
           << (levels > 1 ? std::to_string(levels) + " levels of compression expand" : std::string("expands"));
      if (too_big) err_ << " beyond " << limits_.max_bytes << " bytes (--max-decompressed)\n";
      else err_ << " more than " << limits_.max_ratio << " times the file's size (--max-ratio)\n";
      return false;
    }
    if (check) {
      check->crc = crc32_z(check->crc, static_cast<const Bytef *>(block), size);
      check->size += size;
    }
    p.feed(static_cast<const char *>(block), size);
  }
  p.finish();
  *damaged_ += p.damaged();
  if (r != ARCHIVE_EOF) {
    stopped(a, s, name);
    return false;
  }
  if (check && !s.later_gzip_header && !gzip_trailer_matches(s.f, *check)) {
    err_ << "pelk_perf_util: " << shown(name) << ": damaged: gzip CRC or length does not match its data\n";
    return false;
  }
  return true;
}

bool Reader::file(const std::string &path, FILE *f) {
  expanded_ = 0;
  struct stat st;
  bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  off_t start = regular ? ftello(f) : 0;  // standard input may stand inside its file
  if (start < 0) regular = false, start = 0;
  auto s = std::make_unique<Source>();
  s->f = f;
  Archive a = open_archive(s.get(), regular);
  if (!a) {
    err_ << "pelk_perf_util: cannot read " << shown(path) << ": out of memory\n";
    return false;
  }
  struct archive_entry *e = nullptr;
  int r = archive_read_open1(a.get());
  if (r == ARCHIVE_OK) r = archive_read_next_header(a.get(), &e);
  if (r == ARCHIVE_WARN) r = ARCHIVE_OK;
  if (r != ARCHIVE_OK && r != ARCHIVE_EOF) {
    stopped(a.get(), *s, path);
    return false;
  }
  bool compressed = archive_filter_count(a.get()) > 1;
  int format = r == ARCHIVE_EOF ? ARCHIVE_FORMAT_EMPTY : archive_format(a.get());

  // Plain text: read from its start as it is, unless it cannot be rewound
  // (a pipe), when libarchive hands on what it read.
  if (!compressed && (format == ARCHIVE_FORMAT_RAW || format == ARCHIVE_FORMAT_EMPTY)) {
    if (regular && fseeko(f, start, SEEK_SET) == 0) {
      clearerr(f);
      return plain(path, f);
    }
    if (format == ARCHIVE_FORMAT_EMPTY) return plain(path, f);
  }
  // One compressed stream: the one log it holds, under the file's name.
  if (format == ARCHIVE_FORMAT_RAW) {
    GzipCheck check;
    bool gzip = regular && archive_filter_count(a.get()) == 2 && archive_filter_code(a.get(), 0) == ARCHIVE_FILTER_GZIP;
    return data(a.get(), *s, path, gzip ? &check : nullptr);
  }

  // An archive: its log entries one by one, in the archive's order, each a
  // log of its own named FILE:ENTRY.
  for (; r == ARCHIVE_OK || r == ARCHIVE_WARN; r = archive_read_next_header(a.get(), &e)) {
    if (!worth_reading(e)) continue;  // the next header skips its data
    if (!data(a.get(), *s, path + ":" + entry_name(e))) return false;
  }
  if (r == ARCHIVE_EOF) return true;
  stopped(a.get(), *s, path);
  return false;
}

bool Reader::path(const std::string &path) {
  if (path == "-") return file(path, stdin);
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    err_ << "pelk_perf_util: cannot read " << shown(path) << ": " << strerror(errno) << "\n";
    return false;
  }
  bool ok = file(path, f);
  fclose(f);
  return ok;
}

}  // namespace

bool list_logs(const std::vector<std::string> &paths, std::vector<std::string> *out, std::ostream &err) {
  namespace fs = std::filesystem;
  bool ok = true;
  for (const std::string &path : paths) {
    std::error_code ec;
    if (path != "-" && fs::is_directory(path, ec)) {
      // Every directory that cannot be listed is named and fails the run;
      // the others are still read.  Links to directories are not followed
      // (no loops), links to files are.
      std::vector<std::string> files, dirs = {path};
      while (!dirs.empty()) {
        std::string d = std::move(dirs.back());
        dirs.pop_back();
        std::error_code dec;
        for (fs::directory_iterator it(d, dec); !dec && it != fs::directory_iterator(); it.increment(dec)) {
          std::error_code fec;
          if (it->is_directory(fec) && !it->is_symlink(fec)) dirs.push_back(it->path().string());
          else if (it->is_regular_file(fec)) files.push_back(it->path().string());
        }
        if (dec) {
          err << "pelk_perf_util: cannot list " << shown(d) << ": " << dec.message() << "\n";
          ok = false;
        }
      }
      std::sort(files.begin(), files.end());
      out->insert(out->end(), files.begin(), files.end());
    } else {
      out->push_back(path);
    }
  }
  return ok;
}

bool read_logs(const std::vector<std::string> &paths,
               const std::function<LogSink(const std::string &file)> &sink_for, std::ostream &err,
               uint64_t *damaged, const InputLimits &limits) {
  *damaged = 0;
  std::vector<std::string> files;
  bool ok = list_logs(paths, &files, err);
  Reader reader(sink_for, err, damaged, limits);
  for (const std::string &f : files) ok &= reader.path(f);
  return ok;
}

}  // namespace pelk_tool
