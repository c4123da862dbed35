#ifndef _LINUX_KERNEL_STAT_H
#define _LINUX_KERNEL_STAT_H

#include <linux/types.h>

enum cpu_usage_stat {
	CPUTIME_USER,
	CPUTIME_NICE,
	CPUTIME_SYSTEM,
	CPUTIME_SOFTIRQ,
	CPUTIME_IRQ,
	CPUTIME_IDLE,
	CPUTIME_IOWAIT,
	CPUTIME_STEAL,
	CPUTIME_GUEST,
	CPUTIME_GUEST_NICE,
	NR_STATS,
};

/* Cumulative times of one CPU since boot, nanoseconds. */
struct kernel_cpustat {
	u64 cpustat[NR_STATS];
};

__BEGIN_DECLS
/* Copies the counters of cpu (a possible CPU) into dst. */
void kcpustat_cpu_fetch(struct kernel_cpustat *dst, int cpu);
__END_DECLS

#endif
