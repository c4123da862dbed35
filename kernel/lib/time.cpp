// Time conversions: calendar break-down, nanoseconds to timespec and clock
// ticks, milliseconds to and from jiffies.
#include <linux/jiffies.h>
#include <linux/ktime.h>
#include <linux/time.h>

namespace {

constexpr long kSecsPerDay = 24 * 60 * 60;

// Floor division, for days before the epoch.
inline long long floor_div(long long a, long long b)
{
	const long long q = a / b;
	return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

inline bool is_leap(long long year)
{
	return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

extern "C" {

void time64_to_tm(time64_t totalsecs, int offset, struct tm *result)
{
	// The offset is applied to the time of day first, so that totalsecs
	// itself never overflows.
	long long days = totalsecs / kSecsPerDay;
	long long rem = totalsecs % kSecsPerDay + offset;
	days += floor_div(rem, kSecsPerDay);
	rem -= floor_div(rem, kSecsPerDay) * kSecsPerDay;

	result->tm_hour = (int)(rem / 3600);
	rem %= 3600;
	result->tm_min = (int)(rem / 60);
	result->tm_sec = (int)(rem % 60);

	// 1 January 1970 was a Thursday.
	result->tm_wday = (int)((4 + days) % 7);
	if (result->tm_wday < 0)
		result->tm_wday += 7;

	// Count in 400-year eras of years that begin on 1 March, so that the
	// leap day is the last day of its year.
	const long long z = days + 719468;  // days since 0000-03-01
	const long long era = floor_div(z, 146097);
	const long long doe = z - era * 146097;  // [0, 146096]
	const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
	const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);  // from 1 March
	const long long mp = (5 * doy + 2) / 153;  // 0 = March
	const bool jan_or_feb = mp >= 10;
	const long long year = yoe + era * 400 + (jan_or_feb ? 1 : 0);

	result->tm_mday = (int)(doy - (153 * mp + 2) / 5 + 1);
	result->tm_mon = (int)(jan_or_feb ? mp - 10 : mp + 2);
	result->tm_year = (long)(year - 1900);
	result->tm_yday = (int)(jan_or_feb ? doy - 306 : doy + 31 + 28 + (is_leap(year) ? 1 : 0));
}

struct timespec64 ns_to_timespec64(const s64 nsec)
{
	struct timespec64 ts = {0, 0};

	if (nsec > 0) {
		ts.tv_sec = nsec / NSEC_PER_SEC;
		ts.tv_nsec = (long)(nsec % NSEC_PER_SEC);
	} else if (nsec < 0) {
		// The second before, and the nanoseconds since it.  -nsec - 1
		// cannot overflow, not even for the most negative value.
		const u64 mag = (u64)(-(nsec + 1));
		ts.tv_sec = -(s64)(mag / NSEC_PER_SEC) - 1;
		ts.tv_nsec = NSEC_PER_SEC - (long)(mag % NSEC_PER_SEC) - 1;
	}
	return ts;
}

u64 nsec_to_clock_t(u64 x)
{
	return x / (NSEC_PER_SEC / USER_HZ);
}

// Both round up, as the kernel's do for every tick rate.
unsigned long msecs_to_jiffies(const unsigned int m)
{
	const unsigned int hz = HZ;

	// A negative value means "for ever".
	if ((int)m < 0)
		return MAX_JIFFY_OFFSET;
	if (1000 % hz == 0)
		return (m + (1000 / hz) - 1) / (1000 / hz);
	return (unsigned long)(((u64)m * hz + 999) / 1000);
}

unsigned int jiffies_to_msecs(const unsigned long j)
{
	const unsigned int hz = HZ;

	if (1000 % hz == 0)
		return (unsigned int)((1000 / hz) * j);
	return (unsigned int)(((u64)j * 1000 + hz - 1) / hz);
}

}  // extern "C"
