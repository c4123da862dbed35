// Module loading: dlopen()ed shared objects, their parameters, exports and
// what they leave behind when they go.
#include "internal.h"

namespace kapi {
#include "../lib/modparams.h"
}  // namespace kapi

namespace sim {

// The parsing shared with the other backends' loaders (kernel/lib).
using kapi::next_arg;
using kapi::parameq;
using kapi::skip_spaces;

static bool license_is_gpl_compatible(const std::string &l) {
  return l == "GPL" || l == "GPL v2" || l == "GPL and additional rights" || l == "Dual BSD/GPL" ||
         l == "Dual MIT/GPL" || l == "Dual MPL/GPL";
}

static int find_ranges(void *handle, Module *m) {
  struct link_map *lm = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0 || !lm) return -1;
  struct Ctx {
    uintptr_t base;
    Module *m;
  } ctx{(uintptr_t)lm->l_addr, m};
  dl_iterate_phdr(
      [](struct dl_phdr_info *info, size_t, void *data) -> int {
        auto *c = (Ctx *)data;
        if ((uintptr_t)info->dlpi_addr != c->base) return 0;
        for (int i = 0; i < info->dlpi_phnum; i++) {
          const auto &ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          uintptr_t a = c->base + ph.p_vaddr;
          c->m->ranges.push_back({a, a + ph.p_memsz});
        }
        return 1;
      },
      &ctx);
  return m->ranges.empty() ? -1 : 0;
}

int Kernel::Impl::param_set(Module *m, const kapi::kernel_param *kp, const char *val) {
  if (!kp->ops || !kp->ops->set) return -EINVAL;
  return call_into(m, "parameter set", [&] { return kp->ops->set(val, kp); });
}

static void unload_object(Kernel::Impl &I, Module *m) {
  m->loaded = false;
  m->exports.clear();
  for (auto &h : m->held) {
    I.violation("module " + m->name + " left symbol " + h.second + " held");
    if (h.first->refs > 0) h.first->refs--;
  }
  m->held.clear();
  dlclose(m->handle);
  m->handle = nullptr;
  // A module whose object stays mapped would carry its state into the next load.
  if (void *again = dlopen(m->path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    I.violation("module " + m->name + " stayed mapped after unloading");
    dlclose(again);
  }
}

// The module object at path, opened and checked as load_module does: its
// layout, its name (no module of that name loaded yet), its segments.  Null
// when refused, with *rc and I.last_load_error set; *name is the name the
// load is known by either way.
static std::unique_ptr<Module> open_object(Kernel::Impl &I, const std::string &path, std::string *name, int *rc) {
  std::string base = path.substr(path.find_last_of('/') + 1);
  *name = base.substr(0, base.find('.'));
  *rc = -ENOEXEC;
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char *e = dlerror();
    I.last_load_error = e ? e : "dlopen failed";
    return nullptr;
  }
  using LayoutFn = const kapi::module_layout *(*)();
  auto fn = (LayoutFn)dlsym(h, "__module_layout");
  if (!fn) {
    I.last_load_error = path + ": no __module_layout";
    dlclose(h);
    return nullptr;
  }
  const kapi::module_layout *L = fn();
  std::string license;
  if (const char *v = kapi::modinfo_get(L->modinfo_start, L->modinfo_stop, "name")) *name = v;
  if (const char *v = kapi::modinfo_get(L->modinfo_start, L->modinfo_stop, "license")) license = v;
  for (auto &m : I.modules)
    if (m->loaded && m->name == *name) {
      dlclose(h);
      I.last_load_error = *name + ": already loaded";
      *rc = -EEXIST;
      return nullptr;
    }
  auto m = std::make_unique<Module>();
  m->name = *name;
  m->path = path;
  m->license = license;
  m->gpl_ok = license_is_gpl_compatible(license);
  m->handle = h;
  m->layout = L;
  m->seq = ++I.obj_seq;
  // The entry points through the object itself: the layout's pointers may
  // have been bound to same-named functions elsewhere (the C library has an
  // init_module of its own).
  m->init = (int (*)())dlsym(h, "init_module");
  m->exit = (void (*)())dlsym(h, "cleanup_module");
  if (!m->init) m->init = L->init;
  if (!m->exit) m->exit = L->exit;
  if (find_ranges(h, m.get()) != 0) {
    I.last_load_error = path + ": cannot find its segments";
    dlclose(h);
    return nullptr;
  }
  *rc = 0;
  return m;
}

// The load's parameters, as parse_args sets them: every one is tried, the
// last error wins.
static int set_load_params(Kernel::Impl &I, Module *m, const std::string &params) {
  const kapi::module_layout *L = m->layout;
  int err = 0;
  std::vector<char> args(params.begin(), params.end());
  args.push_back(0);
  char *a = skip_spaces(args.data());
  while (*a) {
    char *param, *val;
    a = next_arg(a, &param, &val);
    if (!val && std::strcmp(param, "--") == 0) break;
    const kapi::kernel_param *kp = nullptr;
    if (L->param_start)
      for (const kapi::kernel_param *p = L->param_start; p < L->param_stop; p++)
        if (p->name && parameq(param, p->name)) kp = p;
    if (!kp) {
      I.klog(4, m->name + ": unknown parameter '" + param + "' ignored");
      continue;
    }
    int ret = val ? I.param_set(m, kp, val) : -EINVAL;
    if (ret == 0) continue;
    if (ret == -ENOSPC)
      I.klog(3, m->name + ": `" + (val ? val : "") + "' too large for parameter `" + param + "'");
    else
      I.klog(3, m->name + ": `" + (val ? val : "") + "' invalid for parameter `" + param + "'");
    err = ret;
  }
  return err;
}

// The module's exported symbols, plain and GPL-only.
static void add_exports(Module *m) {
  const kapi::module_layout *L = m->layout;
  auto add = [&](const kapi::kernel_symbol *b, const kapi::kernel_symbol *e, bool gpl) {
    if (!b) return;
    for (const kapi::kernel_symbol *s = b; s < e; s++) m->exports.push_back({s->name, s->value, gpl});
  };
  add(L->ksym_start, L->ksym_stop, false);
  add(L->ksym_gpl_start, L->ksym_gpl_stop, true);
}

// The module's init, as do_init_module runs it: a negative result fails the
// load, a positive one is warned about and taken as success.
static int run_init(Kernel::Impl &I, Module *m) {
  int rc = 0;
  if (m->init) rc = I.call_into(m, "module init", [&] { return m->init(); });
  if (rc > 0) {
    I.klog(4, "do_init_module: '" + m->name + "'->init suspiciously returned " + std::to_string(rc) +
                  ", it should follow 0/-E convention");
    I.klog(4, "do_init_module: loading module anyway...");
    rc = 0;
  }
  return rc;
}

int Kernel::insmod(const std::string &path, const std::string &params) {
  Impl &I = *impl_;
  I.last_load_error.clear();
  std::string name;
  int rc = 0;
  auto event = [&](int result) {
    I.mevents.push_back({I.next_seq(), I.mono, name, true, result});
    return result;
  };
  std::unique_ptr<Module> mp = open_object(I, path, &name, &rc);
  if (!mp) return event(rc);
  Module *m = mp.get();
  I.modules.push_back(std::move(mp));
  rc = set_load_params(I, m, params);
  if (rc == 0) {
    add_exports(m);
    rc = run_init(I, m);
  }
  if (rc != 0) {
    I.left_behind(m);
    unload_object(I, m);
  }
  return event(rc);
}

int Kernel::rmmod(const std::string &name) {
  Impl &I = *impl_;
  Module *m = nullptr;
  for (auto &mp : I.modules)
    if (mp->loaded && mp->name == name) m = mp.get();
  auto event = [&](int rc) {
    I.mevents.push_back({I.next_seq(), I.mono, name, false, rc});
    return rc;
  };
  if (!m) return event(-ENOENT);
  if (m->refs > 0) return event(-EWOULDBLOCK);
  if (m->init && !m->exit) return event(-EBUSY);
  if (m->exit) I.call_into(m, "module exit", [&] { m->exit(); });
  I.left_behind(m);
  unload_object(I, m);
  return event(0);
}

bool Kernel::module_loaded(const std::string &name) const {
  for (auto &m : impl_->modules)
    if (m->loaded && m->name == name) return true;
  return false;
}

static const kapi::kernel_param *find_param(const Kernel::Impl &I, const std::string &module,
                                            const std::string &param, Module **mod) {
  for (auto &m : I.modules) {
    if (!m->loaded || m->name != module || !m->layout->param_start) continue;
    for (const kapi::kernel_param *p = m->layout->param_start; p < m->layout->param_stop; p++)
      if (p->name && parameq(param.c_str(), p->name)) {
        *mod = m.get();
        return p;
      }
  }
  return nullptr;
}

int Kernel::param_read(const std::string &module, const std::string &param, std::string *value) const {
  Impl &I = *impl_;
  Module *m = nullptr;
  const kapi::kernel_param *kp = find_param(I, module, param, &m);
  if (!kp || kp->perm == 0) return -ENOENT;
  if (!(kp->perm & 0444)) return -EACCES;
  if (!kp->ops || !kp->ops->get) return -EPERM;
  std::vector<char> page(4096, 0);
  int n = I.call_into(m, "parameter get", [&] { return kp->ops->get(page.data(), kp); });
  if (n < 0) return n;
  if (value) value->assign(page.data(), std::min((size_t)n, page.size()));
  return 0;
}

int Kernel::param_write(const std::string &module, const std::string &param, const std::string &value) {
  Impl &I = *impl_;
  Module *m = nullptr;
  const kapi::kernel_param *kp = find_param(I, module, param, &m);
  if (!kp || kp->perm == 0) return -ENOENT;
  if (!(kp->perm & 0200)) return -EACCES;
  std::string v = value;
  return I.param_set(m, kp, v.c_str());
}

const std::vector<ModuleEvent> &Kernel::module_events() const { return impl_->mevents; }

// After a module's code has gone (or failed to start), nothing may still
// point into it or be owned by it.
void Kernel::Impl::left_behind(Module *m) {
  // memory allocated while its code ran
  struct Group {
    std::string what;
    u64 first = 0, n = 0, bytes = 0;
  };
  std::vector<Group> groups;
  std::vector<std::pair<u64, Alloc *>> mine;
  for (auto &a : allocs)
    if (a.second.mod == m) mine.push_back({a.second.seq, &a.second});
  std::sort(mine.begin(), mine.end(), [](auto &x, auto &y) { return x.first < y.first; });
  for (auto &e : mine) {
    Alloc *a = e.second;
    std::string what = std::string(a->vmalloc ? "vmalloc" : "kmalloc") + " from " + a->site;
    auto g = std::find_if(groups.begin(), groups.end(), [&](const Group &x) { return x.what == what; });
    if (g == groups.end()) {
      groups.push_back({what, a->seq, 0, 0});
      g = groups.end() - 1;
    }
    g->n++;
    g->bytes += a->size;
    a->mod = nullptr;
  }
  for (auto &g : groups)
    violation("memory left behind by " + m->name + ": " + g.what + " (" + std::to_string(g.n) +
              " allocation" + (g.n == 1 ? "" : "s") + ", " + std::to_string(g.bytes) + " bytes)");
  // pending works that would run its code or live in its memory
  for (size_t i = 0; i < pending.size();) {
    DwState *s = dw(pending[i]);
    bool its = (s->wq && s->wq->owner == m) || m->contains((const void *)s->func) || m->contains(pending[i]);
    if (its) {
      violation("work left pending on " + (s->wq ? s->wq->name : std::string("?")) + " by " + m->name);
      s->pending = false;
      pending.erase(pending.begin() + (long)i);
    } else {
      i++;
    }
  }
  for (auto &w : wqs)
    if (w->alive && w->owner == m) {
      violation("workqueue left behind: " + w->name);
      w->alive = false;
    }
  // proc entries
  for (auto &p : pdes) {
    if (p->removed || p.get() == proc_root) continue;
    const kapi::proc_ops *o = p->ops;
    bool its = p->owner == m;
    if (o)
      its = its || m->contains(o) || m->contains((const void *)o->proc_open) ||
            m->contains((const void *)o->proc_read) || m->contains((const void *)o->proc_write) ||
            m->contains((const void *)o->proc_release) || m->contains((const void *)o->proc_lseek);
    if (!its) continue;
    violation("proc entry left behind: " + p->path);
    proc_unlink(p.get());
    p->removed = true;
  }
  for (auto &d : miscs)
    if (d->registered && (m->contains(d->misc) || m->contains(d->misc->fops) || m->contains(d->misc->name))) {
      violation("misc device left registered: " + d->name);
      d->registered = false;
      d->misc->this_device = nullptr;
    }
  for (size_t i = 0; i < notifiers.size();) {
    kapi::notifier_block *nb = notifiers[i];
    if (m->contains(nb) || m->contains((const void *)nb->notifier_call)) {
      violation("notifier left registered by " + m->name);
      notifiers.erase(notifiers.begin() + (long)i);
    } else {
      i++;
    }
  }
}

}  // namespace sim

namespace kapi {
using sim::K;

// The loaded module that exports name, and the export.
static std::pair<sim::Module *, sim::Export *> find_export(const char *name) {
  for (auto &m : K().modules) {
    if (!m->loaded) continue;
    for (auto &e : m->exports)
      if (e.name == name) return {m.get(), &e};
  }
  return {nullptr, nullptr};
}

void *__symbol_get(const char *name) {
  auto &I = K();
  sim::Module *caller = I.cur_module();
  auto [m, e] = find_export(name);
  if (!m) return nullptr;
  if (e->gpl && caller && !caller->gpl_ok) return nullptr;
  if (caller != m) {
    m->refs++;
    if (caller) caller->held.push_back({m, name});
  }
  return e->addr;
}

void __symbol_put(const char *name) {
  auto &I = K();
  sim::Module *caller = I.cur_module();
  auto [m, e] = find_export(name);
  if (!m) {
    I.violation(std::string("symbol_put of ") + name + ", which no module exports");
    return;
  }
  if (caller == m) return;
  if (m->refs > 0) m->refs--;
  if (caller) {
    auto it = std::find_if(caller->held.begin(), caller->held.end(),
                           [&](auto &h) { return h.first == m && h.second == name; });
    if (it != caller->held.end()) caller->held.erase(it);
  }
}

}  // namespace kapi
