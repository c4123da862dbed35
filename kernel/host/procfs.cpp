// procfs: the module's proc files, read through its own operations and
// published as ordinary files under the output directory.  A published file
// is written to a temporary name and renamed over the old one, so a reader
// sees either the old content or the new, never a mix.
#include "internal.h"

namespace host {

// The directories down to path, private (0700); true when path is then a
// directory of this user, not a link planted in its place.
static bool make_dirs(const std::string &path) {
  for (size_t p = 1; p != std::string::npos; p = path.find('/', p + 1)) {
    std::string part = path.substr(0, p);
    if (!part.empty()) mkdir(part.c_str(), 0700);
  }
  mkdir(path.c_str(), 0700);
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// The entry at path that is not removed, or nullptr.  The caller holds proc_mu.
kapi::proc_dir_entry *Kernel::Impl::find_entry(const std::string &path) {
  for (auto &p : pdes)
    if (!p->removed && p->path == path) return p.get();
  return nullptr;
}

std::string Kernel::Impl::out_path(const std::string &proc_path) const {
  if (opt.out_dir.empty() || proc_path.rfind("/proc/", 0) != 0) return "";
  return opt.out_dir + proc_path.substr(5);
}

// open, read to the end, release; 0 or a negative errno.
int Kernel::Impl::proc_read(kapi::proc_dir_entry *de, std::string *out) {
  {
    std::lock_guard<std::mutex> lk(proc_mu);
    if (de->removed || de->is_dir || !de->ops) return -ENOENT;
    de->readers++;
  }
  const kapi::proc_ops *ops = de->ops;
  kapi::inode ino{de};
  kapi::file f{nullptr, &ino, 1, 0};
  int rc = ops->proc_open ? ops->proc_open(&ino, &f) : 0;
  if (rc == 0) {
    out->clear();
    char buf[4096];
    long long pos = 0;
    for (;;) {
      if (!ops->proc_read) {
        rc = -EIO;
        break;
      }
      long n = (long)ops->proc_read(&f, buf, sizeof(buf), (decltype(f.f_pos) *)&pos);
      if (n < 0) rc = (int)n;
      if (n <= 0) break;
      out->append(buf, (size_t)n);
    }
    if (ops->proc_release) ops->proc_release(&ino, &f);
  }
  {
    std::lock_guard<std::mutex> lk(proc_mu);
    de->readers--;
  }
  proc_cv.notify_all();
  return rc;
}

void Kernel::Impl::publish_all() {
  if (opt.out_dir.empty()) return;
  std::lock_guard<std::mutex> pub(publish_mu);
  std::vector<kapi::proc_dir_entry *> files;
  {
    std::lock_guard<std::mutex> lk(proc_mu);
    for (auto &p : pdes)
      if (!p->removed && !p->is_dir) files.push_back(p.get());
  }
  for (auto *de : files) {
    std::string content, path = out_path(de->path);
    if (path.empty() || proc_read(de, &content) != 0) continue;
    if (!make_dirs(path.substr(0, path.rfind('/')))) continue;
    // A fresh file of our own, never one found there nor through a link:
    // created exclusively under a name not used yet, then renamed over.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
      tmp = path.substr(0, path.rfind('/') + 1) + "." + de->name + "." + std::to_string(getpid()) + "." +
            std::to_string(++publish_serial) + ".tmp";
      fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) continue;
    bool ok = write(fd, content.data(), content.size()) == (ssize_t)content.size();
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) unlink(tmp.c_str());
  }
}

void Kernel::Impl::unpublish(kapi::proc_dir_entry *de) {
  std::string path = out_path(de->path);
  if (path.empty()) return;
  std::lock_guard<std::mutex> pub(publish_mu);
  if (de->is_dir) rmdir(path.c_str());
  else unlink(path.c_str());
}

int Kernel::proc_read(const std::string &path, std::string *out) {
  kapi::proc_dir_entry *de;
  {
    std::lock_guard<std::mutex> lk(impl_->proc_mu);
    de = impl_->find_entry(path);
  }
  if (!de) return -ENOENT;
  new_cycle();
  return impl_->proc_read(de, out);
}

std::string Kernel::published_path(const std::string &proc_path) const { return impl_->out_path(proc_path); }

}  // namespace host

namespace kapi {
using host::H;

// The mode is not kept: published files are plain 0644 files.
static proc_dir_entry *proc_add(const char *name, proc_dir_entry *parent, const proc_ops *ops, void *data,
                                bool dir) {
  auto &I = H();
  if (!name || !*name || std::strchr(name, '/')) return nullptr;
  std::lock_guard<std::mutex> lk(I.proc_mu);
  std::string path = (parent ? parent->path : std::string("/proc")) + "/" + name;
  if (I.find_entry(path)) return nullptr;
  auto de = std::make_unique<proc_dir_entry>();
  de->name = name;
  de->path = path;
  de->is_dir = dir;
  de->ops = ops;
  de->data = data;
  I.pdes.push_back(std::move(de));
  return I.pdes.back().get();
}

struct proc_dir_entry *proc_mkdir(const char *name, struct proc_dir_entry *parent) {
  return proc_add(name, parent, nullptr, nullptr, true);
}
struct proc_dir_entry *proc_create(const char *name, umode_t, struct proc_dir_entry *parent,
                                   const struct proc_ops *proc_ops) {
  return proc_add(name, parent, proc_ops, nullptr, false);
}
struct proc_dir_entry *proc_create_data(const char *name, umode_t, struct proc_dir_entry *parent,
                                        const struct proc_ops *proc_ops, void *data) {
  return proc_add(name, parent, proc_ops, data, false);
}

// Removes de and everything below it, deepest first; waits for the readers
// in progress, as the kernel's removal does.
static void remove_tree(proc_dir_entry *de) {
  auto &I = H();
  std::vector<proc_dir_entry *> gone;
  {
    std::unique_lock<std::mutex> lk(I.proc_mu);
    if (de->removed) return;
    for (auto &p : I.pdes)
      if (!p->removed && (p.get() == de || p->path.rfind(de->path + "/", 0) == 0)) gone.push_back(p.get());
    std::sort(gone.begin(), gone.end(), [](auto *a, auto *b) { return a->path.size() > b->path.size(); });
    for (auto *p : gone) p->removed = true;
    I.proc_cv.wait(lk, [&] {
      for (auto *p : gone)
        if (p->readers) return false;
      return true;
    });
  }
  for (auto *p : gone) I.unpublish(p);
}

void remove_proc_entry(const char *name, struct proc_dir_entry *parent) {
  auto &I = H();
  proc_dir_entry *de;
  {
    std::lock_guard<std::mutex> lk(I.proc_mu);
    de = I.find_entry((parent ? parent->path : std::string("/proc")) + "/" + (name ? name : ""));
  }
  if (de) remove_tree(de);
}

void proc_remove(struct proc_dir_entry *de) {
  if (de) remove_tree(de);
}

void *PDE_DATA(const struct inode *inode) { return inode && inode->pde ? inode->pde->data : nullptr; }

}  // namespace kapi
