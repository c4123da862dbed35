#ifndef _LINUX_SEMAPHORE_H
#define _LINUX_SEMAPHORE_H

#include <linux/types.h>
#include <linux/opaque.h>

/* Opaque storage for the kernel's own structure (see linux/opaque.h). */
struct semaphore {
	unsigned long __opaque[PELK_SEMAPHORE_SIZE / sizeof(unsigned long)];
} __attribute__((aligned(PELK_SEMAPHORE_ALIGN)));

__BEGIN_DECLS
void sema_init(struct semaphore *sem, int val);
/* Uninterruptible: sleeps until the semaphore can be taken. */
void down(struct semaphore *sem);
/* 0 when taken, 1 when it was not available. */
int down_trylock(struct semaphore *sem);
void up(struct semaphore *sem);
__END_DECLS

#endif
