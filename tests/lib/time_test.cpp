// Calendar break-down and the time unit conversions.
#include <gtest/gtest.h>

#include <climits>

#include <linux/jiffies.h>

// linux/time.h cannot share a unit with the C library's <time.h> (both
// define struct tm), so the two functions are declared here over a copy of
// the kernel layout.
namespace ktm {
struct tm {
	int tm_sec, tm_min, tm_hour, tm_mday, tm_mon;
	long tm_year;
	int tm_wday, tm_yday;
};
struct timespec64 {
	long long tv_sec;
	long tv_nsec;
};
}  // namespace ktm
extern "C" void time64_to_tm(long long totalsecs, int offset, ktm::tm *result);
extern "C" ktm::timespec64 ns_to_timespec64(long long nsec);

namespace {

TEST(Time64ToTm, Table)
{
	struct {
		long long secs;
		int offset;
		long year;
		int mon, mday, hour, min, sec, wday, yday;
	} rows[] = {
		{0, 0, 70, 0, 1, 0, 0, 0, 4, 0},  // the epoch, a Thursday
		{0, -1, 69, 11, 31, 23, 59, 59, 3, 364},  // a negative offset crosses the year
		{-1, 1, 70, 0, 1, 0, 0, 0, 4, 0},
		{86399, 1, 70, 0, 2, 0, 0, 0, 5, 1},
		{-86401, -86400, 69, 11, 29, 23, 59, 59, 1, 362},
		{951782400, 0, 100, 1, 29, 0, 0, 0, 2, 59},  // 2000-02-29: a century leap year
		{1735689599, 0, 124, 11, 31, 23, 59, 59, 2, 365},  // last second of leap 2024
		{-2203891200, 0, 0, 2, 1, 0, 0, 0, 4, 59},  // 1900-03-01: 1900 is not leap
		{1796601600, -28800, 126, 11, 6, 16, 0, 0, 0, 339},  // 480 minutes west
		{1796601600, 172805, 126, 11, 9, 0, 0, 5, 3, 342},
	};
	for (const auto &r : rows) {
		ktm::tm t;
		memset(&t, 0x55, sizeof(t));
		time64_to_tm(r.secs, r.offset, &t);
		const std::string what = std::to_string(r.secs) + "+" + std::to_string(r.offset);
		EXPECT_EQ(t.tm_year, r.year) << what;
		EXPECT_EQ(t.tm_mon, r.mon) << what;
		EXPECT_EQ(t.tm_mday, r.mday) << what;
		EXPECT_EQ(t.tm_hour, r.hour) << what;
		EXPECT_EQ(t.tm_min, r.min) << what;
		EXPECT_EQ(t.tm_sec, r.sec) << what;
		EXPECT_EQ(t.tm_wday, r.wday) << what;
		EXPECT_EQ(t.tm_yday, r.yday) << what;
	}
}

TEST(NsToTimespec64, NegativeValuesKeepNanosecondsPositive)
{
	struct {
		long long ns, sec;
		long nsec;
	} rows[] = {
		{0, 0, 0},
		{1, 0, 1},
		{1000000000, 1, 0},
		{1999999999, 1, 999999999},
		{-1, -1, 999999999},
		{-1000000000, -1, 0},
		{-1500000000, -2, 500000000},
		{LLONG_MIN, -9223372037, 145224192},
		{LLONG_MAX, 9223372036, 854775807},
	};
	for (const auto &r : rows) {
		const ktm::timespec64 ts = ns_to_timespec64(r.ns);
		EXPECT_EQ(ts.tv_sec, r.sec) << r.ns;
		EXPECT_EQ(ts.tv_nsec, r.nsec) << r.ns;
	}
}

TEST(Jiffies, MsecsRoundUpAndNegativeMeansForever)
{
	struct {
		unsigned ms;
		unsigned long j;
	} rows[] = {
		{0, 0},
		{1, 1},
		{4, 1},
		{5, 2},
		{10000, 2500},
		{2147483647u, 536870912ul},
		{0x80000000u, MAX_JIFFY_OFFSET},
		{UINT_MAX, MAX_JIFFY_OFFSET},
	};
	for (const auto &r : rows)
		EXPECT_EQ(msecs_to_jiffies(r.ms), r.j) << r.ms;
	EXPECT_EQ(MAX_JIFFY_OFFSET, 4611686018427387902ul);

	EXPECT_EQ(jiffies_to_msecs(0), 0u);
	EXPECT_EQ(jiffies_to_msecs(1), 4u);
	EXPECT_EQ(jiffies_to_msecs(2500), 10000u);
	EXPECT_EQ(jiffies_to_msecs(0x40000001ul), 4u);  // kept to 32 bits
}

TEST(ClockT, TruncatesToUserHz)
{
	EXPECT_EQ(nsec_to_clock_t(9999999), 0u);
	EXPECT_EQ(nsec_to_clock_t(10000000), 1u);
	EXPECT_EQ(nsec_to_clock_t(1999999999), 199u);
	EXPECT_EQ(nsec_to_clock_t(~0ull), 1844674407370ull);
}

}  // namespace
