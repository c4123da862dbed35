// Module loading on the live kernel: the module's shared object is opened,
// its parameters set from "name=value" words, its init run; rmmod runs its
// exit and closes it.  Smaller than the simulated kernel's loader: no quoted
// values and no checks of what a module leaves behind.
#include "internal.h"

namespace host {

static bool parameq(const char *a, const char *b) {
  for (;; a++, b++) {
    char x = *a == '-' ? '_' : *a, y = *b == '-' ? '_' : *b;
    if (x != y) return false;
    if (!x) return true;
  }
}

int Kernel::insmod(const std::string &path, const std::string &params) {
  Impl &I = *impl_;
  I.last_load_error.clear();
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char *e = dlerror();
    I.last_load_error = e ? e : "dlopen failed";
    return -ENOEXEC;
  }
  using LayoutFn = const kapi::module_layout *(*)();
  auto fn = (LayoutFn)dlsym(h, "__module_layout");
  if (!fn) {
    I.last_load_error = path + ": no __module_layout";
    dlclose(h);
    return -ENOEXEC;
  }
  auto m = std::make_unique<Module>();
  m->path = path;
  m->handle = h;
  m->layout = fn();
  const kapi::module_layout *L = m->layout;
  m->name = path.substr(path.find_last_of('/') + 1);
  m->name = m->name.substr(0, m->name.find('.'));
  for (const char *p = L->modinfo_start; p && p < L->modinfo_stop;) {
    size_t n = strnlen(p, (size_t)(L->modinfo_stop - p));
    std::string kv(p, n);
    if (kv.rfind("name=", 0) == 0) m->name = kv.substr(5);
    p += n + 1;
  }
  for (auto &o : I.modules)
    if (o->handle && o->name == m->name) {
      dlclose(h);
      I.last_load_error = m->name + ": already loaded";
      return -EEXIST;
    }
  // Through the object itself: the C library has an init_module of its own.
  m->init = (int (*)())dlsym(h, "init_module");
  m->exit = (void (*)())dlsym(h, "cleanup_module");
  if (!m->init) m->init = L->init;
  if (!m->exit) m->exit = L->exit;

  new_cycle();
  int err = 0;
  size_t pos = 0;
  while (pos < params.size()) {
    size_t end = params.find(' ', pos);
    if (end == std::string::npos) end = params.size();
    std::string word = params.substr(pos, end - pos);
    pos = end + 1;
    if (word.empty()) continue;
    size_t eq = word.find('=');
    std::string name = word.substr(0, eq);
    const kapi::kernel_param *kp = nullptr;
    for (const kapi::kernel_param *p = L->param_start; p && p < L->param_stop; p++)
      if (p->name && parameq(name.c_str(), p->name)) kp = p;
    if (!kp) {
      kapi::printk(KERN_WARNING "%s: unknown parameter '%s' ignored\n", m->name.c_str(), name.c_str());
      continue;
    }
    std::string val = eq == std::string::npos ? "" : word.substr(eq + 1);
    int ret = eq == std::string::npos || !kp->ops || !kp->ops->set ? -EINVAL : kp->ops->set(val.c_str(), kp);
    if (ret) {
      kapi::printk(KERN_ERR "%s: `%s' invalid for parameter `%s'\n", m->name.c_str(), val.c_str(), name.c_str());
      err = ret;
    }
  }
  if (err) {
    dlclose(h);
    return err;
  }
  for (const kapi::kernel_symbol *s = L->ksym_start; s && s < L->ksym_stop; s++) m->exports.push_back({s->name, s->value});
  for (const kapi::kernel_symbol *s = L->ksym_gpl_start; s && s < L->ksym_gpl_stop; s++)
    m->exports.push_back({s->name, s->value});
  Module *mp = m.get();
  I.modules.push_back(std::move(m));
  int rc = mp->init ? mp->init() : 0;
  if (rc < 0) {
    I.modules.pop_back();
    dlclose(h);
    return rc;
  }
  I.publish_all();
  return 0;
}

int Kernel::rmmod(const std::string &name) {
  Impl &I = *impl_;
  for (auto it = I.modules.begin(); it != I.modules.end(); ++it) {
    Module *m = it->get();
    if (!m->handle || m->name != name) continue;
    if (m->init && !m->exit) return -EBUSY;
    new_cycle();
    if (m->exit) m->exit();
    dlclose(m->handle);
    I.modules.erase(it);
    return 0;
  }
  return -ENOENT;
}

}  // namespace host

namespace kapi {

void *__symbol_get(const char *name) {
  for (auto &m : host::H().modules)
    for (auto &e : m->exports)
      if (e.first == name) return e.second;
  return nullptr;
}
void __symbol_put(const char *) {}

}  // namespace kapi
