#ifndef _LINUX_TICK_H
#define _LINUX_TICK_H

#include <linux/types.h>

__BEGIN_DECLS
/* Idle and iowait time of cpu in microseconds, as the idle tracking counts
 * them, or (u64)-1 when the CPU's idle time is not tracked that way. */
u64 get_cpu_idle_time_us(int cpu, u64 *last_update_time);
u64 get_cpu_iowait_time_us(int cpu, u64 *last_update_time);
__END_DECLS

#endif
