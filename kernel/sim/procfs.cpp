// procfs: a tree of entries under /proc whose files are read through their
// proc_ops, as the kernel's proc_reg_* file operations do.
#include "internal.h"

namespace sim {

constexpr int kEISDIR = 21;
constexpr int kEBADF = 9;

std::string Kernel::Impl::proc_path(kapi::proc_dir_entry *parent, const std::string &name) const {
  return (parent ? parent->path : std::string("/proc")) + "/" + name;
}

kapi::proc_dir_entry *Kernel::Impl::proc_lookup(const std::string &path) const {
  if (path == "/proc") return proc_root;
  if (path.rfind("/proc/", 0) != 0) return nullptr;
  kapi::proc_dir_entry *de = proc_root;
  size_t pos = 6;
  while (de && pos <= path.size()) {
    size_t slash = path.find('/', pos);
    std::string comp = path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    auto it = de->children.find(comp);
    de = it == de->children.end() ? nullptr : it->second;
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return de;
}

// The child the kernel's name-ordered tree shows first: shortest, then bytes.
static kapi::proc_dir_entry *first_child(kapi::proc_dir_entry *de) {
  kapi::proc_dir_entry *best = nullptr;
  for (auto &c : de->children)
    if (!best || c.first.size() < best->name.size()) best = c.second;
  return best;
}

kapi::proc_dir_entry *Kernel::Impl::proc_add(const char *name, kapi::umode_t mode, kapi::proc_dir_entry *parent,
                                             const kapi::proc_ops *ops, void *data, bool dir) {
  const char *facility = dir ? "proc_mkdir" : "proc_create";
  if (!name) return nullptr;
  if (!parent) parent = proc_root;
  if (parent->removed || !parent->is_dir) {
    violation(std::string(facility) + " under a removed or non-directory entry");
    return nullptr;
  }
  // "a/b" names go through the directories before the last component.
  std::string full = name;
  size_t slash;
  while ((slash = full.find('/')) != std::string::npos) {
    auto it = parent->children.find(full.substr(0, slash));
    if (it == parent->children.end() || !it->second->is_dir) return nullptr;
    parent = it->second;
    full = full.substr(slash + 1);
  }
  if (full.empty() || full.size() > 255) return nullptr;
  if (fault(facility, full)) return nullptr;
  if (parent->children.count(full)) {
    klog(4, "proc_dir_entry '" + parent->name + "/" + full + "' already registered");
    return nullptr;
  }
  auto de = std::make_unique<kapi::proc_dir_entry>();
  de->name = full;
  de->path = parent->path + "/" + full;
  de->mode = mode;
  de->is_dir = dir;
  de->parent = parent;
  de->ops = ops;
  de->data = data;
  de->seq = ++obj_seq;
  de->owner = ops ? module_of((const void *)ops) : nullptr;
  if (!de->owner) de->owner = cur_module();
  parent->children[full] = de.get();
  pdes.push_back(std::move(de));
  return pdes.back().get();
}

// Takes an entry out of its parent; what is below it stays as it is.
void Kernel::Impl::proc_unlink(kapi::proc_dir_entry *de) {
  if (de->parent) {
    auto it = de->parent->children.find(de->name);
    if (it != de->parent->children.end() && it->second == de) de->parent->children.erase(it);
  }
  std::function<void(kapi::proc_dir_entry *)> unlink_all = [&](kapi::proc_dir_entry *d) {
    d->linked = false;
    for (auto &c : d->children) unlink_all(c.second);
  };
  unlink_all(de);
}

bool Kernel::proc_exists(const std::string &path) const { return impl_->proc_lookup(path) != nullptr; }

unsigned Kernel::proc_mode(const std::string &path) const {
  kapi::proc_dir_entry *de = impl_->proc_lookup(path);
  return de ? de->mode : 0;
}

std::vector<std::string> Kernel::proc_list() const {
  std::vector<std::string> out;
  for (auto &p : impl_->pdes)
    if (p.get() != impl_->proc_root && p->linked && !p->removed) out.push_back(p->path);
  std::sort(out.begin(), out.end());
  return out;
}

int Kernel::proc_open(const std::string &path) {
  Impl &I = *impl_;
  kapi::proc_dir_entry *de = I.proc_lookup(path);
  if (!de) return -ENOENT;
  if (de->is_dir) return -kEISDIR;
  Impl::OpenFile of;
  of.de = de;
  of.ino = std::make_unique<kapi::inode>(kapi::inode{de});
  of.f = std::make_unique<kapi::file>(kapi::file{nullptr, of.ino.get(), 1, 0});
  const kapi::proc_ops *ops = de->ops;
  if (ops && ops->proc_open) {
    kapi::inode *ino = of.ino.get();
    kapi::file *f = of.f.get();
    int rc = I.call_into(de->owner, "proc open", [&] { return ops->proc_open(ino, f); });
    if (rc < 0) return rc;
  }
  int fd = I.next_fd++;
  I.open_files[fd] = std::move(of);
  return fd;
}

long Kernel::proc_read_some(int fd, std::string *out, size_t count) {
  Impl &I = *impl_;
  auto it = I.open_files.find(fd);
  if (it == I.open_files.end()) return -kEBADF;
  Impl::OpenFile &of = it->second;
  if (!of.de) return -EIO;  // the entry went away under the reader
  const kapi::proc_ops *ops = of.de->ops;
  if (!ops || !ops->proc_read) return -EIO;
  std::vector<char> buf(count ? count : 1);
  kapi::file *f = of.f.get();
  kapi::loff_t *pos = &of.pos;
  kapi::ssize_t got =
      I.call_into(of.de->owner, "proc read", [&] { return ops->proc_read(f, buf.data(), count, pos); });
  if (got < 0) return (long)got;
  if ((size_t)got > count) {
    I.violation("proc read of " + of.de->path + " returned more than asked");
    got = (kapi::ssize_t)count;
  }
  if (out) out->append(buf.data(), (size_t)got);
  return (long)got;
}

void Kernel::Impl::proc_release(OpenFile &of) {
  if (!of.de) return;
  const kapi::proc_ops *ops = of.de->ops;
  kapi::inode *ino = of.ino.get();
  kapi::file *f = of.f.get();
  if (ops && ops->proc_release) call_into(of.de->owner, "proc release", [&] { return ops->proc_release(ino, f); });
  of.de = nullptr;
}

void Kernel::Impl::proc_rundown() {
  for (auto &[fd, of] : open_files)
    if (of.de && of.de->removed) proc_release(of);
}

int Kernel::proc_close(int fd) {
  Impl &I = *impl_;
  auto it = I.open_files.find(fd);
  if (it == I.open_files.end()) return -kEBADF;
  I.proc_release(it->second);
  I.open_files.erase(it);
  return 0;
}

int Kernel::proc_read(const std::string &path, std::string *out, size_t chunk) {
  if (out) out->clear();
  if (chunk == 0) chunk = 1;
  int fd = proc_open(path);
  if (fd < 0) return fd;
  int rc = 0;
  for (u64 n = 0;; n++) {
    if (n > (64u << 20)) {
      impl_->violation("proc read of " + path + " does not end");
      break;
    }
    long got = proc_read_some(fd, out, chunk);
    if (got < 0) rc = (int)got;
    if (got <= 0) break;
  }
  proc_close(fd);
  return rc;
}

long Kernel::proc_write(const std::string &path, const std::string &data) {
  Impl &I = *impl_;
  kapi::proc_dir_entry *de = I.proc_lookup(path);
  if (!de) return -ENOENT;
  if (de->is_dir) return -kEISDIR;
  const kapi::proc_ops *ops = de->ops;
  kapi::inode ino{de};
  kapi::file f{nullptr, &ino, 2, 0};
  Module *m = de->owner;
  long rc = 0;
  if (ops && ops->proc_open) rc = I.call_into(m, "proc open", [&] { return ops->proc_open(&ino, &f); });
  if (rc < 0) return rc;
  if (!ops || !ops->proc_write) {
    rc = -EIO;
  } else {
    kapi::loff_t pos = 0;
    rc = I.call_into(m, "proc write", [&] { return ops->proc_write(&f, data.data(), data.size(), &pos); });
  }
  if (ops && ops->proc_release) I.call_into(m, "proc release", [&] { return ops->proc_release(&ino, &f); });
  return rc;
}

}  // namespace sim

namespace kapi {
using sim::K;

struct proc_dir_entry *proc_mkdir(const char *name, struct proc_dir_entry *parent) {
  auto &I = K();
  I.hook("proc_mkdir");
  return I.proc_add(name, 0555, parent, nullptr, nullptr, true);
}

struct proc_dir_entry *proc_create_data(const char *name, umode_t mode, struct proc_dir_entry *parent,
                                        const struct proc_ops *proc_ops, void *data) {
  auto &I = K();
  I.hook("proc_create");
  return I.proc_add(name, mode, parent, proc_ops, data, false);
}

struct proc_dir_entry *proc_create(const char *name, umode_t mode, struct proc_dir_entry *parent,
                                   const struct proc_ops *proc_ops) {
  return proc_create_data(name, mode, parent, proc_ops, nullptr);
}

void remove_proc_entry(const char *name, struct proc_dir_entry *parent) {
  auto &I = K();
  I.hook("remove_proc_entry");
  if (!parent) parent = I.proc_root;
  std::string full = name ? name : "";
  struct proc_dir_entry *dir = parent;
  size_t slash;
  while (dir && (slash = full.find('/')) != std::string::npos) {
    auto it = dir->children.find(full.substr(0, slash));
    dir = it == dir->children.end() ? nullptr : it->second;
    full = full.substr(slash + 1);
  }
  if (!dir) return;
  auto it = dir->children.find(full);
  if (it == dir->children.end()) {
    I.klog(4, std::string("name '") + (name ? name : "") + "'");
    return;
  }
  struct proc_dir_entry *de = it->second;
  I.proc_unlink(de);
  de->removed = true;
  I.proc_rundown();
  // The kernel leaks what is below a removed directory and says so.
  if (struct proc_dir_entry *c = sim::first_child(de))
    I.klog(4, "remove_proc_entry: removing non-empty directory '" + dir->name + "/" + de->name +
                  "', leaking at least '" + c->name + "'");
}

void proc_remove(struct proc_dir_entry *de) {
  auto &I = K();
  I.hook("proc_remove");
  if (!de || de == I.proc_root) return;
  if (de->removed) {
    I.violation("proc_remove of a removed entry: " + de->path);
    return;
  }
  I.proc_unlink(de);
  std::function<void(proc_dir_entry *)> kill = [&](proc_dir_entry *d) {
    d->removed = true;
    for (auto &c : d->children) kill(c.second);
  };
  kill(de);
  I.proc_rundown();
}

void *PDE_DATA(const struct inode *inode) { return inode && inode->pde ? inode->pde->data : nullptr; }

}  // namespace kapi
