#ifndef _LINUX_JIFFIES_H
#define _LINUX_JIFFIES_H

#include <linux/types.h>

/* The tick rate, and the tick rate user space sees.  A kernel fixes HZ when
 * it is configured (the platform's is 250); the simulated kernel lets each
 * machine choose it, so here it is asked for. */
#define HZ (__kernel_hz())
#define USER_HZ 100
#define MAX_JIFFY_OFFSET ((LONG_MAX >> 1) - 1)

__BEGIN_DECLS
unsigned int __kernel_hz(void);
u64 get_jiffies_64(void);
/* Rounds up, as the kernel does; a negative value gives MAX_JIFFY_OFFSET. */
unsigned long msecs_to_jiffies(const unsigned int m);
unsigned int jiffies_to_msecs(const unsigned long j);
/* Nanoseconds to USER_HZ clock ticks, truncating. */
u64 nsec_to_clock_t(u64 x);
__END_DECLS

#define jiffies ((unsigned long)get_jiffies_64())

#endif
