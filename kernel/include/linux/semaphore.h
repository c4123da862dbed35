#ifndef _LINUX_SEMAPHORE_H
#define _LINUX_SEMAPHORE_H

#include <linux/types.h>

/* Opaque storage, large enough for the kernel's own structure. */
struct semaphore {
	unsigned long __opaque[4];
} __attribute__((aligned(8)));

__BEGIN_DECLS
void sema_init(struct semaphore *sem, int val);
/* Uninterruptible: sleeps until the semaphore can be taken. */
void down(struct semaphore *sem);
/* 0 when taken, 1 when it was not available. */
int down_trylock(struct semaphore *sem);
void up(struct semaphore *sem);
__END_DECLS

#endif
