#ifndef _LINUX_TIME_H
#define _LINUX_TIME_H

#include <linux/types.h>

struct timespec64 {
	time64_t tv_sec;
	long tv_nsec;
};

struct timezone {
	int tz_minuteswest;
	int tz_dsttime;
};

/* Calendar break-down, as the kernel fills it. */
struct tm {
	int tm_sec;
	int tm_min;
	int tm_hour;
	int tm_mday;
	int tm_mon;   /* 0 to 11 */
	long tm_year; /* years since 1900 */
	int tm_wday;
	int tm_yday;
};

__BEGIN_DECLS
/* The kernel's time-zone setting (set from user space by settimeofday). */
extern struct timezone sys_tz;
void time64_to_tm(time64_t totalsecs, int offset, struct tm *result);
__END_DECLS

#endif
