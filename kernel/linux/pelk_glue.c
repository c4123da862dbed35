// SPDX-License-Identifier: GPL-2.0
/*
 * The kernel-facility layer of pelk_perf_util on a real Linux kernel.
 *
 * The module's C++ objects are built against kernel/include, whose types are
 * plain and whose tasks are opaque; kernel headers cannot be read from C++.
 * This file is the other side: it is built by Kbuild against the running
 * kernel's headers and implements every facility the module calls that the
 * kernel does not offer under the same name and ABI.  The C++ objects'
 * references to those facilities are renamed to pelk_<name> at build time
 * (see pelk_glue.syms); everything else (memcpy, kfree, down, up, seq_printf,
 * kobject_uevent_env, ktime_get, ...) binds straight to the kernel's export.
 *
 * The module's metadata and exports are made here too, in the kernel's own
 * layout: its C++ objects lay them out for the simulated loader, and those
 * sections are dropped from the objects.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/kernel.h>
#include <linux/printk.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/sched.h>
#include <linux/sched/signal.h>
#include <linux/sched/cputime.h>
#include <linux/pid.h>
#include <linux/rcupdate.h>
#include <linux/semaphore.h>
#include <linux/workqueue.h>
#include <linux/jiffies.h>
#include <linux/math64.h>
#include <linux/cpumask.h>
#include <linux/kernel_stat.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/miscdevice.h>
#include <linux/device.h>
#include <linux/rhashtable.h>
#include <linux/oom.h>
#include <linux/version.h>

/* ---- metadata and exports ------------------------------------------------------- */

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("CPU performance monitor");
/* The parameter itself (kmonitor_delay_set, 0644) is the module's own
 * kernel_param in its "__param" section, whose layout is the kernel's. */
MODULE_PARM_DESC(kmonitor_delay, "Period of the performance cycle in milliseconds (negative values are refused)");
__MODULE_PARM_TYPE(kmonitor_delay, "int");
/* The module needs the two sibling services loaded first. */
MODULE_SOFTDEP("pre: ferrow_switch zebk_report");

/* Defined by the module (modem_sleep.cpp), with C linkage. */
extern void odpm_md_sleep_init(void *address);
extern char sum_md_sleep_status[512];
extern char sleep_history[480];
EXPORT_SYMBOL_GPL(odpm_md_sleep_init);
EXPORT_SYMBOL_GPL(sum_md_sleep_status);
EXPORT_SYMBOL_GPL(sleep_history);

/* ---- the layer's layouts, checked against this kernel ------------------------------- */

/* The layer (kernel/include) as the module's C++ objects see it, measured at
 * build time from pelk_layout.h by pelk_layer_layout.cpp; every entry of that
 * list is checked here at file scope, so that no build can skip it. */
#include "pelk_layer_layout.h"

#define PELK_FITS(s)                                                                    \
	static_assert(sizeof(struct s) <= PELK_LAYER_SIZEOF_##s,                        \
		      "struct " #s ": the layer gives less storage than this kernel needs"); \
	static_assert(__alignof__(struct s) <= PELK_LAYER_ALIGNOF_##s,                  \
		      "struct " #s ": the layer aligns its storage less than this kernel does");
#define PELK_SIZE(s)                                                                    \
	static_assert(sizeof(struct s) == PELK_LAYER_SIZEOF_##s,                        \
		      "struct " #s ": size differs between the layer and this kernel");
#define PELK_FIELD(s, f)                                                                \
	static_assert(offsetof(struct s, f) == PELK_LAYER_OFFSETOF_##s##__##f &&            \
		      sizeof_field(struct s, f) == PELK_LAYER_SIZEOF_##s##__##f,          \
		      "struct " #s ": field " #f " differs between the layer and this kernel");
#define PELK_CONST(c) static_assert((c) == PELK_LAYER_##c, #c ": value differs between the layer and this kernel");
#define PELK_MIRROR(s)                                                                  \
	static_assert(sizeof(struct pelk_##s) == PELK_LAYER_SIZEOF_##s,                 \
		      "struct pelk_" #s ": size differs from struct " #s " of the layer");
#define PELK_MIRROR_FIELD(s, f)                                                         \
	static_assert(offsetof(struct pelk_##s, f) == PELK_LAYER_OFFSETOF_##s##__##f &&     \
		      sizeof_field(struct pelk_##s, f) == PELK_LAYER_SIZEOF_##s##__##f,   \
		      "struct pelk_" #s ": field " #f " differs from struct " #s " of the layer");
#define PELK_VALUE(c)

/* The layer's cpumask covers the first 32 CPUs, and 32 (WORK_CPU_UNBOUND)
 * means "none". */
#define PELK_NR_CPUS PELK_LAYER_WORK_CPU_UNBOUND
/* The layer's ten cpustat fields, in the kernel's order (checked with the
 * list); a kernel with core scheduling has an eleventh. */
#define PELK_NR_STATS PELK_LAYER_NR_STATS
static_assert(NR_STATS >= PELK_NR_STATS, "the kernel has fewer cpustat fields than the layer");
/* The module's delayed works are handed to the kernel as they are, and their
 * work function receives the embedded work_struct. */
static_assert(offsetof(struct delayed_work, work) == 0, "delayed_work: work is not first");

/* ---- printk and formatting -------------------------------------------------------- */

asmlinkage __visible int pelk_printk(const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = vprintk(fmt, args);
	va_end(args);
	return n;
}

/* The layer's vsnprintf and snprintf carry link names of their own
 * (kernel_vsnprintf, kernel_snprintf); here they are the kernel's. */
int pelk_kernel_vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
{
	return vsnprintf(buf, size, fmt, args);
}

int pelk_kernel_snprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = vsnprintf(buf, size, fmt, args);
	va_end(args);
	return n;
}

/* ---- memory ------------------------------------------------------------------------ */

/* The layer's gfp bits, translated one by one rather than trusted to match. */
#define PELK_GFP_HIGH PELK_LAYER___GFP_HIGH
#define PELK_GFP_IO PELK_LAYER___GFP_IO
#define PELK_GFP_FS PELK_LAYER___GFP_FS
#define PELK_GFP_ZERO PELK_LAYER___GFP_ZERO
#define PELK_GFP_ATOMIC PELK_LAYER___GFP_ATOMIC
#define PELK_GFP_DIRECT_RECLAIM PELK_LAYER___GFP_DIRECT_RECLAIM
#define PELK_GFP_KSWAPD_RECLAIM PELK_LAYER___GFP_KSWAPD_RECLAIM
#define PELK_GFP_NOWARN PELK_LAYER___GFP_NOWARN

static gfp_t pelk_gfp(unsigned int flags)
{
	gfp_t gfp = 0;

	if (flags & PELK_GFP_HIGH)
		gfp |= __GFP_HIGH;
	if (flags & PELK_GFP_IO)
		gfp |= __GFP_IO;
	if (flags & PELK_GFP_FS)
		gfp |= __GFP_FS;
	if (flags & PELK_GFP_ZERO)
		gfp |= __GFP_ZERO;
	if (flags & PELK_GFP_ATOMIC)
		gfp |= __GFP_ATOMIC;
	if (flags & PELK_GFP_DIRECT_RECLAIM)
		gfp |= __GFP_DIRECT_RECLAIM;
	if (flags & PELK_GFP_KSWAPD_RECLAIM)
		gfp |= __GFP_KSWAPD_RECLAIM;
	if (flags & PELK_GFP_NOWARN)
		gfp |= __GFP_NOWARN;
	return gfp;
}

/* The site name serves the simulated kernel's accounting and fault
 * injection; the real allocator has its own. */
void *pelk___kmalloc_site(size_t size, unsigned int flags, const char *site)
{
	return kmalloc(size, pelk_gfp(flags));
}

void *pelk___vmalloc_site(unsigned long size, unsigned int flags, const char *site)
{
	return (flags & PELK_GFP_ZERO) ? vzalloc(size) : vmalloc(size);
}

/* ---- RCU, semaphores, workqueues ----------------------------------------------------- */

void pelk_rcu_read_lock(void)
{
	rcu_read_lock();
}

void pelk_rcu_read_unlock(void)
{
	rcu_read_unlock();
}

void pelk_sema_init(void *sem, int val)
{
	sema_init((struct semaphore *)sem, val);
}

void pelk_init_delayed_work(void *dwork, work_func_t func)
{
	INIT_DELAYED_WORK((struct delayed_work *)dwork, func);
}

/* The layer's WORK_CPU_UNBOUND (and an empty mask's first CPU) is 32. */
bool pelk_queue_delayed_work_on(int cpu, struct workqueue_struct *wq, void *dwork,
				unsigned long delay)
{
	if (cpu < 0 || cpu >= PELK_NR_CPUS || cpu >= nr_cpu_ids || !cpu_online(cpu))
		cpu = WORK_CPU_UNBOUND;
	return queue_delayed_work_on(cpu, wq, (struct delayed_work *)dwork, delay);
}

/* Since 5.18 flush_workqueue is a macro that warns about the system queues,
 * over the exported __flush_workqueue. */
void pelk_flush_workqueue(struct workqueue_struct *wq)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 18, 0)
	__flush_workqueue(wq);
#else
	flush_workqueue(wq);
#endif
}

/* ---- time and CPUs -------------------------------------------------------------------- */

unsigned int pelk___kernel_hz(void)
{
	return HZ;
}

u64 pelk_get_jiffies_64(void)
{
	return get_jiffies_64();
}

unsigned long pelk_msecs_to_jiffies(const unsigned int m)
{
	return msecs_to_jiffies(m);
}

/* Stands for the kernel's nsec_to_clock_t, which 6.1 does not export:
 * nanoseconds to USER_HZ ticks, truncating. */
u64 pelk_nsec_to_clock_t(u64 x)
{
	return div_u64(x, NSEC_PER_SEC / USER_HZ);
}

bool pelk_cpu_possible(unsigned int cpu)
{
	return cpu < nr_cpu_ids && cpu_possible(cpu);
}

bool pelk_cpu_online(unsigned int cpu)
{
	return cpu < nr_cpu_ids && cpu_online(cpu);
}

unsigned int pelk_num_online_cpus(void)
{
	return num_online_cpus();
}

unsigned int pelk_num_possible_cpus(void)
{
	return num_possible_cpus();
}

/* The layer's kernel_cpustat has the ten classic fields; a kernel with core
 * scheduling has an eleventh, so the counters are copied, not the struct. */
void pelk_kcpustat_cpu_fetch(u64 *dst, int cpu)
{
	struct kernel_cpustat kcs;
	int i;

	kcpustat_cpu_fetch(&kcs, cpu);
	for (i = 0; i < PELK_NR_STATS; i++)
		dst[i] = kcs.cpustat[i];
}

/* ---- tasks ------------------------------------------------------------------------------ */

struct task_struct *pelk_next_task(struct task_struct *p)
{
	return next_task(p);
}

/* Thread walks go over the signal structure's thread list, as the kernel's
 * for_each_thread does; it is safe under RCU while threads exit. */
struct task_struct *pelk_task_first_thread(struct task_struct *p)
{
	struct list_head *head = &p->signal->thread_head;
	struct list_head *first = rcu_dereference(list_next_rcu(head));

	return first == head ? NULL : list_entry(first, struct task_struct, thread_node);
}

struct task_struct *pelk_task_next_thread(struct task_struct *p, struct task_struct *t)
{
	struct list_head *head = &p->signal->thread_head;
	struct list_head *next = rcu_dereference(list_next_rcu(&t->thread_node));

	return next == head ? NULL : list_entry(next, struct task_struct, thread_node);
}

/* Stands for find_task_by_vpid, which 6.1 does not export; the caller holds
 * the RCU read lock, as find_task_by_vpid requires. */
struct task_struct *pelk_find_task_by_vpid(pid_t nr)
{
	return pid_task(find_vpid(nr), PIDTYPE_PID);
}

pid_t pelk_task_pid_nr(const struct task_struct *t)
{
	return t->pid;
}

pid_t pelk_task_tgid_nr(const struct task_struct *t)
{
	return t->tgid;
}

const char *pelk_task_comm(const struct task_struct *t)
{
	return t->comm;
}

unsigned int pelk_task_flags(const struct task_struct *t)
{
	return t->flags;
}

short pelk_task_oom_score_adj(const struct task_struct *t)
{
	return READ_ONCE(t->signal->oom_score_adj);
}

void pelk_task_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st)
{
	u64 u, s;

	task_cputime_adjusted(p, &u, &s);
	if (ut)
		*ut = u;
	if (st)
		*st = s;
}

/* Stands for thread_group_cputime_adjusted, which 6.1 does not export: the
 * adjusted times of the live threads plus the signal structure's totals of
 * the threads that have exited.  The caller holds the RCU read lock; a thread
 * exiting during the walk may be counted in neither or in both places for
 * this one reading. */
void pelk_thread_group_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st)
{
	struct signal_struct *sig = p->signal;
	struct task_struct *t;
	u64 u = READ_ONCE(sig->utime), s = READ_ONCE(sig->stime);

	for_each_thread(p, t) {
		u64 tu, ts;

		task_cputime_adjusted(t, &tu, &ts);
		u += tu;
		s += ts;
	}
	if (ut)
		*ut = u;
	if (st)
		*st = s;
}

/* ---- proc files ------------------------------------------------------------------------ */

/* The layer's proc_ops lists the kernel's operations in the kernel's order;
 * each table the module passes gets a kernel copy for the module's life. */
struct pelk_proc_ops {
	unsigned int proc_flags;
	int (*proc_open)(struct inode *, struct file *);
	ssize_t (*proc_read)(struct file *, char __user *, size_t, loff_t *);
	void *proc_read_iter;
	ssize_t (*proc_write)(struct file *, const char __user *, size_t, loff_t *);
	loff_t (*proc_lseek)(struct file *, loff_t, int);
	int (*proc_release)(struct inode *, struct file *);
	void *proc_poll, *proc_ioctl, *proc_compat_ioctl, *proc_mmap, *proc_get_unmapped_area;
};

#define PELK_PROC_OPS_MAX 4
static struct {
	const struct pelk_proc_ops *from;
	struct proc_ops ops;
} pelk_proc_ops_copies[PELK_PROC_OPS_MAX];
static DEFINE_MUTEX(pelk_proc_ops_lock);

static const struct proc_ops *pelk_kernel_proc_ops(const struct pelk_proc_ops *from)
{
	const struct proc_ops *ops = NULL;
	int i;

	mutex_lock(&pelk_proc_ops_lock);
	for (i = 0; i < PELK_PROC_OPS_MAX && !ops; i++) {
		if (pelk_proc_ops_copies[i].from == from) {
			ops = &pelk_proc_ops_copies[i].ops;
		} else if (!pelk_proc_ops_copies[i].from) {
			struct proc_ops *o = &pelk_proc_ops_copies[i].ops;

			/* Only the operations a seq_file proc entry uses. */
			o->proc_flags = from->proc_flags;
			o->proc_open = from->proc_open;
			o->proc_read = from->proc_read;
			o->proc_write = from->proc_write;
			o->proc_lseek = from->proc_lseek;
			o->proc_release = from->proc_release;
			pelk_proc_ops_copies[i].from = from;
			ops = o;
		}
	}
	mutex_unlock(&pelk_proc_ops_lock);
	return ops;
}

struct proc_dir_entry *pelk_proc_create(const char *name, umode_t mode,
					struct proc_dir_entry *parent,
					const struct pelk_proc_ops *proc_ops)
{
	const struct proc_ops *ops = pelk_kernel_proc_ops(proc_ops);

	return ops ? proc_create(name, mode, parent, ops) : NULL;
}

struct proc_dir_entry *pelk_proc_create_data(const char *name, umode_t mode,
					     struct proc_dir_entry *parent,
					     const struct pelk_proc_ops *proc_ops, void *data)
{
	const struct proc_ops *ops = pelk_kernel_proc_ops(proc_ops);

	return ops ? proc_create_data(name, mode, parent, ops, data) : NULL;
}

/* PDE_DATA became pde_data in 5.17. */
void *pelk_PDE_DATA(const struct inode *inode)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 17, 0)
	return pde_data(inode);
#else
	return PDE_DATA(inode);
#endif
}

void *pelk_seq_file_private(struct seq_file *m)
{
	return m->private;
}

/* ---- the misc device ---------------------------------------------------------------------- */

/* The layer's struct miscdevice: the fields the module sets and reads, and
 * room for the implementation, which here holds the kernel's miscdevice. */
struct pelk_miscdevice {
	int minor;
	const char *name;
	const void *fops;
	struct device *this_device;
	const char *nodename;
	umode_t mode;
	unsigned long __opaque[4];
};

/* Nobody opens the module's devices: an open fails cleanly. */
static int pelk_misc_open(struct inode *inode, struct file *file)
{
	return -ENODEV;
}

static const struct file_operations pelk_misc_fops = {
	.owner = THIS_MODULE,
	.open = pelk_misc_open,
};

int pelk_misc_register(struct pelk_miscdevice *misc)
{
	struct miscdevice *kmisc = kzalloc(sizeof(*kmisc), GFP_KERNEL);
	int ret;

	if (!kmisc)
		return -ENOMEM;
	kmisc->minor = misc->minor;
	kmisc->name = misc->name;
	kmisc->nodename = misc->nodename;
	kmisc->mode = misc->mode;
	kmisc->fops = &pelk_misc_fops;
	ret = misc_register(kmisc);
	if (ret) {
		kfree(kmisc);
		return ret;
	}
	misc->minor = kmisc->minor;
	misc->this_device = kmisc->this_device;
	misc->__opaque[0] = (unsigned long)kmisc;
	return 0;
}

void pelk_misc_deregister(struct pelk_miscdevice *misc)
{
	struct miscdevice *kmisc = (struct miscdevice *)misc->__opaque[0];

	if (!kmisc)
		return;
	misc_deregister(kmisc);
	kfree(kmisc);
	misc->__opaque[0] = 0;
	misc->this_device = NULL;
}

struct kobject *pelk_device_kobject(struct device *dev)
{
	return &dev->kobj;
}

/* ---- resizable hash tables ------------------------------------------------------------------ */

/* The layer's struct rhashtable is opaque storage for the kernel's; its
 * params and rhash_head have the kernel's layout (checked at the end).  The fast
 * paths are inline in the kernel, so they are instantiated here with the
 * params as a run-time value. */
int pelk_rhashtable_init(void *ht, const struct rhashtable_params *params)
{
	return rhashtable_init((struct rhashtable *)ht, params);
}

void pelk_rhashtable_destroy(void *ht)
{
	rhashtable_destroy((struct rhashtable *)ht);
}

void *pelk_rhashtable_lookup_fast(void *ht, const void *key, const struct rhashtable_params params)
{
	return rhashtable_lookup_fast((struct rhashtable *)ht, key, params);
}

int pelk_rhashtable_insert_fast(void *ht, struct rhash_head *obj, const struct rhashtable_params params)
{
	return rhashtable_insert_fast((struct rhashtable *)ht, obj, params);
}

int pelk_rhashtable_remove_fast(void *ht, struct rhash_head *obj, const struct rhashtable_params params)
{
	return rhashtable_remove_fast((struct rhashtable *)ht, obj, params);
}

unsigned int pelk_rhashtable_nelems(void *ht)
{
	return atomic_read(&((struct rhashtable *)ht)->nelems);
}

/* Checked last, once the glue's mirrors of layer structures are declared. */
#include "pelk_layout.h"
