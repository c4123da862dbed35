/* Workqueues and delayed works.  struct delayed_work is opaque storage that
 * the caller embeds; the work function receives the embedded work_struct. */
#ifndef _LINUX_WORKQUEUE_H
#define _LINUX_WORKQUEUE_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/opaque.h>

struct workqueue_struct;
struct work_struct;
typedef void (*work_func_t)(struct work_struct *work);

/* Opaque storage for the kernel's own structures (see linux/opaque.h). */
struct work_struct {
	unsigned long __opaque[PELK_WORK_STRUCT_SIZE / sizeof(unsigned long)];
} __attribute__((aligned(PELK_WORK_STRUCT_ALIGN)));

struct delayed_work {
	struct work_struct work;
	unsigned long __opaque[(PELK_DELAYED_WORK_SIZE - PELK_WORK_STRUCT_SIZE) / sizeof(unsigned long)];
} __attribute__((aligned(PELK_DELAYED_WORK_ALIGN)));

enum {
	WQ_UNBOUND = 1 << 1,
	WQ_FREEZABLE = 1 << 2,
	WQ_MEM_RECLAIM = 1 << 3,
	WQ_HIGHPRI = 1 << 4,
	WQ_CPU_INTENSIVE = 1 << 5,
	__WQ_LEGACY = 1 << 18,
	WQ_DFL_ACTIVE = 256,
};

#define WORK_CPU_UNBOUND NR_CPUS_UNBOUND
#define NR_CPUS_UNBOUND 32

__BEGIN_DECLS
struct workqueue_struct *alloc_workqueue(const char *fmt, unsigned int flags,
					 int max_active, ...)
	__attribute__((format(printf, 1, 4)));
/* Waits for the pending works and destroys the queue. */
void destroy_workqueue(struct workqueue_struct *wq);
/* Waits for every work queued before the call (not for timers still running). */
void flush_workqueue(struct workqueue_struct *wq);

void init_delayed_work(struct delayed_work *dwork, work_func_t func);
/* False, and no change, when the work is already pending. */
bool queue_delayed_work_on(int cpu, struct workqueue_struct *wq,
			   struct delayed_work *dwork, unsigned long delay);
/* Cancels a pending work and waits for a running one; true if it was pending. */
bool cancel_delayed_work_sync(struct delayed_work *dwork);
bool cancel_delayed_work(struct delayed_work *dwork);
/* Runs a pending work now and waits for it; true if it was pending. */
bool flush_delayed_work(struct delayed_work *dwork);
bool delayed_work_pending(const struct delayed_work *dwork);
__END_DECLS

#define INIT_DELAYED_WORK(dw, fn) init_delayed_work((dw), (fn))
#define to_delayed_work(w) container_of((w), struct delayed_work, work)
#define create_workqueue(name) \
	alloc_workqueue("%s", __WQ_LEGACY | WQ_MEM_RECLAIM, 1, (name))

static inline bool queue_delayed_work(struct workqueue_struct *wq,
				      struct delayed_work *dwork, unsigned long delay)
{
	return queue_delayed_work_on(WORK_CPU_UNBOUND, wq, dwork, delay);
}

#endif
