// Reading the logs named on the command line: plain files, directories,
// standard input, and the compressed logs and archives (bug report zips, tar
// files, dmesg.txt.gz, last_kmsg.xz) engineers receive.  What a file is gets
// decided by its content through libarchive; the decompressed text is handed
// to the parser block by block, so an archive is never held in memory.
#include "log_table.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace pelk_tool {

namespace {

// libarchive's view of an open file.  Seeking (a zip's directory is at its
// end) and skipping are offered for regular files only.
struct Source {
  FILE *f;
  char buf[64 * 1024];
  int read_errno = 0;  // a read of the file itself failed
};

la_ssize_t source_read(struct archive *a, void *data, const void **out) {
  Source *s = static_cast<Source *>(data);
  size_t n = fread(s->buf, 1, sizeof s->buf, s->f);
  if (n == 0 && ferror(s->f)) {
    s->read_errno = errno ? errno : EIO;
    archive_set_error(a, s->read_errno, "%s", strerror(s->read_errno));
    return ARCHIVE_FATAL;
  }
  *out = s->buf;
  return static_cast<la_ssize_t>(n);
}

la_int64_t source_seek(struct archive *, void *data, la_int64_t offset, int whence) {
  Source *s = static_cast<Source *>(data);
  if (fseeko(s->f, offset, whence) != 0) return ARCHIVE_FATAL;
  return ftello(s->f);
}

la_int64_t source_skip(struct archive *, void *data, la_int64_t request) {
  Source *s = static_cast<Source *>(data);
  return fseeko(s->f, request, SEEK_CUR) == 0 ? request : 0;
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
  Reader(const std::function<LogSink(const std::string &file)> &sink_for, std::ostream &err, uint64_t *damaged)
      : sink_for_(sink_for), err_(err), damaged_(damaged) {}

  bool path(const std::string &path);

 private:
  bool plain(const std::string &name, FILE *f);
  bool file(const std::string &path, FILE *f);
  bool data(struct archive *a, const Source &s, const std::string &name);
  void stopped(struct archive *a, const Source &s, const std::string &name);

  const std::function<LogSink(const std::string &file)> &sink_for_;
  std::ostream &err_;
  uint64_t *damaged_;
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
  if (!ok) err_ << "pelk_perf_util: error reading " << name << "\n";
  return ok;
}

// Reading stopped inside the file: its own read failed, or the archive or
// the compressed stream is damaged.
void Reader::stopped(struct archive *a, const Source &s, const std::string &name) {
  if (s.read_errno) {
    err_ << "pelk_perf_util: error reading " << name << "\n";
  } else {
    const char *why = archive_error_string(a);
    err_ << "pelk_perf_util: " << name << ": damaged: " << (why ? why : "unreadable") << "\n";
  }
}

// The decompressed data of the current entry (or of the one stream) as one
// log named name; what was read before damage is kept.
bool Reader::data(struct archive *a, const Source &s, const std::string &name) {
  LogSink sink = sink_for_(name);
  LogParser p(sink, name, err_);
  const void *block;
  size_t size;
  la_int64_t offset;
  int r;
  while ((r = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK)
    p.feed(static_cast<const char *>(block), size);
  p.finish();
  *damaged_ += p.damaged();
  if (r == ARCHIVE_EOF) return true;
  stopped(a, s, name);
  return false;
}

bool Reader::file(const std::string &path, FILE *f) {
  struct stat st;
  bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  auto s = std::make_unique<Source>();
  s->f = f;
  Archive a = open_archive(s.get(), regular);
  if (!a) {
    err_ << "pelk_perf_util: cannot read " << path << ": out of memory\n";
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
    if (regular && fseeko(f, 0, SEEK_SET) == 0) {
      clearerr(f);
      return plain(path, f);
    }
    if (format == ARCHIVE_FORMAT_EMPTY) return plain(path, f);
  }
  // One compressed stream: the one log it holds, under the file's name.
  if (format == ARCHIVE_FORMAT_RAW) return data(a.get(), *s, path);

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
  if (path == "-") return plain(path, stdin);
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    err_ << "pelk_perf_util: cannot read " << path << ": " << strerror(errno) << "\n";
    return false;
  }
  bool ok = file(path, f);
  fclose(f);
  return ok;
}

}  // namespace

bool read_logs(const std::vector<std::string> &paths,
               const std::function<LogSink(const std::string &file)> &sink_for, std::ostream &err,
               uint64_t *damaged) {
  namespace fs = std::filesystem;
  bool ok = true;
  *damaged = 0;
  Reader reader(sink_for, err, damaged);
  for (const std::string &path : paths) {
    std::error_code ec;
    if (path != "-" && fs::is_directory(path, ec)) {
      std::vector<std::string> files;
      for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) files.push_back(it->path().string());
      if (ec) {
        err << "pelk_perf_util: cannot list " << path << ": " << ec.message() << "\n";
        ok = false;
      }
      std::sort(files.begin(), files.end());
      for (const std::string &f : files) ok &= reader.path(f);
    } else {
      ok &= reader.path(path);
    }
  }
  return ok;
}

}  // namespace pelk_tool
