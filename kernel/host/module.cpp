// Module loading on the live kernel: the module's shared object is opened,
// its parameters set as the kernel parses them (kernel/lib/modparams), its
// init run; rmmod runs its exit and closes it.  Smaller than the simulated
// kernel's loader: no licence rules and no checks of what a module leaves
// behind.
#include "internal.h"

namespace kapi {
#include "../lib/modparams.h"
}  // namespace kapi

namespace host {

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
  m->handle = h;
  m->layout = fn();
  const kapi::module_layout *L = m->layout;
  m->name = path.substr(path.find_last_of('/') + 1);
  m->name = m->name.substr(0, m->name.find('.'));
  if (const char *v = kapi::modinfo_get(L->modinfo_start, L->modinfo_stop, "name")) m->name = v;
  for (auto &o : I.modules)
    if (o->name == m->name) {
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
  // Every parameter is tried; the last error wins, as parse_args does.
  int err = 0;
  std::vector<char> args(params.begin(), params.end());
  args.push_back(0);
  char *a = kapi::skip_spaces(args.data());
  while (*a) {
    char *param, *val;
    a = kapi::next_arg(a, &param, &val);
    const kapi::kernel_param *kp = nullptr;
    for (const kapi::kernel_param *p = L->param_start; p && p < L->param_stop; p++)
      if (p->name && kapi::parameq(param, p->name)) kp = p;
    if (!kp) {
      kapi::printk(KERN_WARNING "%s: unknown parameter '%s' ignored\n", m->name.c_str(), param);
      continue;
    }
    int ret = !val || !kp->ops || !kp->ops->set ? -EINVAL : kp->ops->set(val, kp);
    if (ret) {
      kapi::printk(KERN_ERR "%s: `%s' invalid for parameter `%s'\n", m->name.c_str(), val ? val : "", param);
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
    if (m->name != name) continue;
    if (m->init && !m->exit) return -EBUSY;
    new_cycle();
    if (m->exit) m->exit();
    dlclose(m->handle);
    I.modules.erase(it);
    return 0;
  }
  return -ENOENT;
}

int Kernel::param_set(const std::string &module, const std::string &name, const std::string &value) {
  // The kernel serialises sysfs writes of parameters (kernel_param_lock).
  static std::mutex param_lock;
  Impl &I = *impl_;
  for (auto &m : I.modules) {
    if (m->name != module) continue;
    const kapi::module_layout *L = m->layout;
    for (const kapi::kernel_param *p = L->param_start; p && p < L->param_stop; p++) {
      if (!p->name || !kapi::parameq(name.c_str(), p->name)) continue;
      if (!p->ops || !p->ops->set) return -EPERM;
      std::lock_guard<std::mutex> lk(param_lock);
      new_cycle();
      return p->ops->set(value.c_str(), p);
    }
    return -ENOENT;
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
