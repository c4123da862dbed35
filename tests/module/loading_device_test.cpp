// The misc device pelk_systemserver_loading: registered and announced at
// load, announced and removed at unload, and the uevent it carries when
// system_server is overloaded; failures of each step.
#include "module/module_harness.h"

namespace pelk_test {
namespace {

using sim::Fault;

constexpr const char *kDevice = "pelk_systemserver_loading";

// The environment the kernel gives a misc device's uevent.
std::vector<std::string> env(const char *action, int seqnum, const char *extra = nullptr) {
  std::vector<std::string> e = {strf("ACTION=%s", action), strf("DEVPATH=/devices/virtual/misc/%s", kDevice),
                                "SUBSYSTEM=misc"};
  if (extra) e.push_back(extra);
  e.push_back("MAJOR=10");
  e.push_back("MINOR=127");
  e.push_back(strf("DEVNAME=%s", kDevice));
  if (seqnum) e.push_back(strf("SEQNUM=%d", seqnum));
  return e;
}

class LoadingDevice : public ModuleHarness {
 protected:
  std::vector<std::string> actions() const {
    std::vector<std::string> out;
    for (const auto &u : k_->uevents()) out.push_back(u.result ? strf("%s error %d", u.action.c_str(), u.result) : u.action);
    return out;
  }
  // A system_server that uses `percent` of one CPU in every 10-second period
  // from its first cycle on (its lifetime before loading is that much too).
  void busy_system_server(unsigned percent) {
    spawn(1000, "system_server", sim::u64(percent) * 100 * kMs);
    sim::CpuRate r;
    r.milli_cpu = percent * 10;
    r.cpus = 0xff;
    k().set_rate(1000, r);
  }
};

TEST_F(LoadingDevice, AnnouncedAtLoadAndGoneAfterUnload) {
  boot();
  load();
  EXPECT_TRUE(k().misc_device_exists(kDevice));
  EXPECT_EQ(127, k().misc_minor(kDevice));  // dynamic
  ASSERT_EQ(1u, k().uevents().size());
  EXPECT_EQ(env("add", 1), k().uevents()[0].env);

  ASSERT_EQ(0, k().rmmod(kModule));
  EXPECT_FALSE(k().misc_device_exists(kDevice));
  ASSERT_EQ(2u, k().uevents().size());
  EXPECT_EQ(env("remove", 2), k().uevents()[1].env);
  // Loading again registers it again.
  load();
  EXPECT_TRUE(k().misc_device_exists(kDevice));
  EXPECT_EQ((std::vector<std::string>{"add", "remove", "add"}), actions());
}

// Each failure logs its line, leaves no device, and leaves everything else
// running: the proc file, the cycles, and (with system_server overloaded)
// cycles that have no device to send on.
TEST_F(LoadingDevice, SetUpFailuresLeaveTheRestRunning) {
  struct Case {
    Fault fault;
    const char *line;
    std::vector<std::string> uevents;
  } cases[] = {
      {{"misc_register", kDevice, 1, 1, -16}, "register systemserver_object failed", {}},
      {{"kobject_uevent", kDevice, 1, 1, -12}, "kobject_uevent creat failed", {"add error -12"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    boot();
    busy_system_server(200);
    k().add_fault(c.fault);
    load();
    EXPECT_EQ(4u, k().log().size());  // after the start, health and workqueue lines
    EXPECT_EQ(std::string("<6>") + c.line, logged(c.line));
    EXPECT_FALSE(k().misc_device_exists(kDevice));

    k().run_for(30 * kSec);
    EXPECT_EQ(3u, cycles().size());
    EXPECT_EQ(c.uevents, actions());  // no change event without a device
    std::string content;
    EXPECT_EQ(0, k().proc_read(kProcFile, &content));
    EXPECT_NE("", content);
    ASSERT_EQ(0, k().rmmod(kModule));
    EXPECT_EQ(c.uevents, actions());  // nor a removal
    EXPECT_EQ(std::vector<std::string>{}, k().violations());
  }
}

}  // namespace
}  // namespace pelk_test
