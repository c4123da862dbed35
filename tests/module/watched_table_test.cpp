// The watched-application table: the name list, and which process names the
// module's table finds once it is built.
#include <map>
#include <string>

#include "module/module_harness.h"

namespace names {
#include "../../drivers/misc/perf_log/app_health_names.h"
}

namespace pelk_test {
namespace {

TEST(WatchedNames, CountsOfTheList) {
  std::map<std::string, int> seen;
  int of15 = 0, of10to14 = 0;
  for (const char *name : names::comm_list) {
    const std::string n = name;
    EXPECT_LE(n.size(), 15u) << n;
    // A process name is a package name, perhaps with ":process" after it.
    EXPECT_EQ(std::string::npos,
              n.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._:-"))
        << n;
    if (n.size() == 15) of15++;
    if (n.size() >= 10 && n.size() <= 14) of10to14++;
    seen[n]++;
  }
  int repeated = 0, surplus = 0;
  for (const auto &[n, count] : seen) {
    if (count > 1) {
      repeated++;
      surplus += count - 1;
    }
  }
  EXPECT_EQ(528u, std::size(names::comm_list));
  EXPECT_EQ(510, of15);
  EXPECT_EQ(18, of10to14);
  EXPECT_EQ(16, repeated);
  EXPECT_EQ(20, surplus);
  EXPECT_EQ(508u, seen.size());
}

}  // namespace
}  // namespace pelk_test
