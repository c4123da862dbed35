#ifndef _LINUX_KTIME_H
#define _LINUX_KTIME_H

#include <linux/types.h>
#include <linux/time.h>

#define NSEC_PER_USEC 1000L
#define NSEC_PER_MSEC 1000000L
#define NSEC_PER_SEC 1000000000L
#define USEC_PER_SEC 1000000L

enum tk_offsets {
	TK_OFFS_REAL,
	TK_OFFS_BOOT,
	TK_OFFS_TAI,
	TK_OFFS_MAX,
};

__BEGIN_DECLS
/* Monotonic clock: nanoseconds since boot, not counting suspend. */
ktime_t ktime_get(void);
/* The monotonic clock plus an offset: TK_OFFS_BOOT counts suspend too,
 * TK_OFFS_REAL gives the wall clock. */
ktime_t ktime_get_with_offset(enum tk_offsets offs);
void ktime_get_real_ts64(struct timespec64 *ts);
time64_t ktime_get_real_seconds(void);
struct timespec64 ns_to_timespec64(const s64 nsec);
__END_DECLS

static inline ktime_t ktime_get_boottime(void) { return ktime_get_with_offset(TK_OFFS_BOOT); }
static inline s64 ktime_to_ns(const ktime_t kt) { return kt; }

#endif
