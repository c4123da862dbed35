/* Ordered accesses between CPUs: a store that publishes everything written
 * before it, and a load after which everything it published is visible. */
#ifndef _ASM_BARRIER_H
#define _ASM_BARRIER_H

#define smp_store_release(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)
#define smp_load_acquire(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)

#endif
