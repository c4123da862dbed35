#ifndef _LINUX_CPUMASK_H
#define _LINUX_CPUMASK_H

#include <linux/types.h>

#define NR_CPUS 32
#define nr_cpu_ids NR_CPUS

struct cpumask {
	u32 bits;
};
typedef struct cpumask cpumask_t;

static inline void cpumask_clear(struct cpumask *m) { m->bits = 0; }
static inline void cpumask_set_cpu(unsigned int cpu, struct cpumask *m)
{
	if (cpu < NR_CPUS)
		m->bits |= 1u << cpu;
}
static inline bool cpumask_test_cpu(int cpu, const struct cpumask *m)
{
	return cpu >= 0 && cpu < NR_CPUS && (m->bits >> cpu) & 1u;
}
/* The lowest CPU of the mask, or nr_cpu_ids when it is empty. */
static inline unsigned int cpumask_first(const struct cpumask *m)
{
	return m->bits ? (unsigned int)__builtin_ctz(m->bits) : nr_cpu_ids;
}
static inline unsigned int cpumask_weight(const struct cpumask *m)
{
	return (unsigned int)__builtin_popcount(m->bits);
}

__BEGIN_DECLS
bool cpu_possible(unsigned int cpu);
bool cpu_online(unsigned int cpu);
unsigned int num_online_cpus(void);
unsigned int num_possible_cpus(void);
__END_DECLS

#define for_each_possible_cpu(cpu) \
	for ((cpu) = 0; (cpu) < NR_CPUS; (cpu)++) \
		if (!cpu_possible(cpu)) {} else

#define for_each_online_cpu(cpu) \
	for ((cpu) = 0; (cpu) < NR_CPUS; (cpu)++) \
		if (!cpu_online(cpu)) {} else

#endif
