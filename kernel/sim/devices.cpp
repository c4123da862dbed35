// Misc devices, uevents and the two sibling services (feature switches and
// event reports).
#include "internal.h"

namespace sim {

// Dynamic minors are handed out from 127 downwards, as the kernel's misc
// class does (128 dynamic minors).
constexpr int kDynamicMinors = 128;

bool Kernel::misc_device_exists(const std::string &name) const {
  for (auto &m : impl_->miscs)
    if (m->registered && m->name == name) return true;
  return false;
}

int Kernel::misc_minor(const std::string &name) const {
  for (auto &m : impl_->miscs)
    if (m->registered && m->name == name) return m->minor;
  return -1;
}

const std::vector<Uevent> &Kernel::uevents() const { return impl_->uevents; }

void Kernel::set_feature(u64 feature_id, int answer) { impl_->features[feature_id] = answer; }

std::vector<std::pair<u64, int>> Kernel::feature_queries() const { return impl_->fqueries; }

int Kernel::notifier_count() const { return (int)impl_->notifiers.size(); }

const std::vector<EventReport> &Kernel::event_reports() const { return impl_->reports; }

void Kernel::set_event_report_result(int result) { impl_->report_result = result; }

void Kernel::notify_feature_change(unsigned long action) {
  Impl &I = *impl_;
  // A copy: a callback may unregister itself.
  std::vector<kapi::notifier_block *> chain = I.notifiers;
  for (kapi::notifier_block *nb : chain) {
    if (std::find(I.notifiers.begin(), I.notifiers.end(), nb) == I.notifiers.end()) continue;
    if (I.notifier_atomic) I.atomic_depth++;
    int ret = I.call_into(I.module_of((const void *)nb->notifier_call), "notifier callback",
                          [&] { return nb->notifier_call(nb, action, nullptr); });
    if (I.notifier_atomic) I.atomic_depth--;
    if (ret & 0x8000) break;  // NOTIFY_STOP_MASK
  }
}

}  // namespace sim

namespace kapi {
using sim::K;

int misc_register(struct miscdevice *misc) {
  auto &I = K();
  I.hook("misc_register");
  if (!misc || !misc->name) return -EINVAL;
  std::string name = misc->name;
  if (int err = I.fault("misc_register", name)) return err;
  for (auto &m : I.miscs)
    if (m->registered && (m->name == name || m->misc == misc)) return -EBUSY;
  int minor = misc->minor;
  bool dynamic = minor == MISC_DYNAMIC_MINOR;
  if (dynamic) {
    int found = -1;
    for (int i = 0; i < sim::kDynamicMinors && found < 0; i++) {
      int cand = sim::kDynamicMinors - i - 1;
      bool taken = false;
      for (auto &m : I.miscs)
        if (m->registered && m->minor == cand) taken = true;
      if (!taken) found = cand;
    }
    if (found < 0) return -EBUSY;
    minor = found;
  } else {
    for (auto &m : I.miscs)
      if (m->registered && m->minor == minor) return -EBUSY;
  }
  auto d = std::make_unique<sim::MiscDev>();
  d->misc = misc;
  d->name = name;
  d->minor = minor;
  d->dynamic = dynamic;
  d->dev = std::make_unique<device>();
  d->dev->misc = d.get();
  d->seq = ++I.obj_seq;
  misc->minor = minor;
  misc->this_device = d->dev.get();
  I.miscs.push_back(std::move(d));
  return 0;
}

void misc_deregister(struct miscdevice *misc) {
  auto &I = K();
  I.hook("misc_deregister");
  for (auto &m : I.miscs)
    if (m->registered && m->misc == misc) {
      m->registered = false;
      return;
    }
  I.violation("misc_deregister of a device that is not registered");
}

struct kobject *device_kobject(struct device *dev) { return dev ? &dev->kobj : nullptr; }

static const char *action_name(enum kobject_action a) {
  static const char *const names[] = {"add", "remove", "change", "move", "online", "offline", "bind", "unbind"};
  return (unsigned)a < 8 ? names[a] : nullptr;
}

static int uevent(struct kobject *kobj, enum kobject_action action, char *envp_ext[]) {
  auto &I = K();
  I.hook("kobject_uevent");
  sim::MiscDev *d = nullptr;
  for (auto &m : I.miscs)
    if (kobj && &m->dev->kobj == kobj) d = m.get();
  if (!d) {
    I.violation("kobject_uevent on an object that is no device");
    return -EINVAL;
  }
  if (!d->registered) I.violation("kobject_uevent on deregistered device " + d->name);
  const char *act = action_name(action);
  if (!act) return -EINVAL;
  sim::Uevent ev;
  ev.ts_ns = I.mono;
  ev.action = act;
  ev.env.push_back(std::string("ACTION=") + act);
  ev.env.push_back("DEVPATH=/devices/virtual/misc/" + d->name);
  ev.env.push_back("SUBSYSTEM=misc");
  for (char **e = envp_ext; e && *e; e++) ev.env.push_back(*e);
  ev.env.push_back("MAJOR=10");
  ev.env.push_back("MINOR=" + std::to_string(d->minor));
  ev.env.push_back("DEVNAME=" + std::string(d->misc->nodename ? d->misc->nodename : d->name.c_str()));
  if (d->misc->mode) {
    char m[16];
    std::snprintf(m, sizeof(m), "%#o", (unsigned)d->misc->mode);
    ev.env.push_back(std::string("DEVMODE=") + m);
  }
  ev.result = I.fault("kobject_uevent", d->name);
  if (!ev.result) ev.env.push_back("SEQNUM=" + std::to_string(++I.uevent_seqnum));
  ev.seq = I.next_seq();
  int rc = ev.result;
  I.uevents.push_back(std::move(ev));
  return rc;
}

int kobject_uevent(struct kobject *kobj, enum kobject_action action) { return uevent(kobj, action, nullptr); }

int kobject_uevent_env(struct kobject *kobj, enum kobject_action action, char *envp_ext[]) {
  return uevent(kobj, action, envp_ext);
}

extern "C" {

int is_tid_enable(unsigned long long feature_id) {
  auto &I = K();
  I.hook("is_tid_enable");
  auto it = I.features.find(feature_id);
  int answer = it == I.features.end() ? 0 : it->second;
  I.fqueries.push_back({feature_id, answer});
  return answer;
}

int register_ferrow_notifier(struct notifier_block *nb) {
  auto &I = K();
  I.hook("register_ferrow_notifier");
  if (!nb) return -EINVAL;
  if (std::find(I.notifiers.begin(), I.notifiers.end(), nb) != I.notifiers.end()) {
    I.klog(4, "notifier callback already registered");
    return -EEXIST;
  }
  // Higher priority first; among equals, the earlier registration first.
  auto pos = std::find_if(I.notifiers.begin(), I.notifiers.end(),
                          [&](notifier_block *x) { return nb->priority > x->priority; });
  I.notifiers.insert(pos, nb);
  return 0;
}

int unregister_ferrow_notifier(struct notifier_block *nb) {
  auto &I = K();
  I.hook("unregister_ferrow_notifier");
  auto it = std::find(I.notifiers.begin(), I.notifiers.end(), nb);
  if (it == I.notifiers.end()) return -ENOENT;
  I.notifiers.erase(it);
  return 0;
}

int zebk_caller_api(const char *event_code, int value, int pid, const char *text) {
  auto &I = K();
  I.hook("zebk_caller_api");
  sim::EventReport r;
  r.seq = I.next_seq();
  r.ts_ns = I.mono;
  r.event_code = event_code ? event_code : "";
  r.value = value;
  r.pid = pid;
  r.text = text ? text : "";
  I.reports.push_back(std::move(r));
  return I.report_result;
}

}  // extern "C"
}  // namespace kapi
