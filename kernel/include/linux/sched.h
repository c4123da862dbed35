/* Tasks.  A task is opaque to the module: it is reached only through the
 * accessors below.  Walks of the task list and of a thread list, and task
 * lookups, must be made inside an RCU read-side section; a task found there
 * may be used until the section ends (or longer with get_task_struct). */
#ifndef _LINUX_SCHED_H
#define _LINUX_SCHED_H

#include <linux/types.h>

#define TASK_COMM_LEN 16
#define PF_EXITING 0x00000004u
#define PF_KTHREAD 0x00200000u
#define PID_MAX_DEFAULT 0x8000

struct task_struct;

__BEGIN_DECLS

/* The idle task of the boot CPU, head and end of the process list. */
extern struct task_struct init_task;

/* The process (thread-group leader) after p in the task list; the list
 * begins and ends at init_task. */
struct task_struct *next_task(struct task_struct *p);
/* The first thread of process p (its leader) and the one after t; NULL at the end. */
struct task_struct *task_first_thread(struct task_struct *p);
struct task_struct *task_next_thread(struct task_struct *p, struct task_struct *t);

/* The task with this pid (thread id) in the initial namespace, or NULL. */
struct task_struct *find_task_by_vpid(pid_t nr);

pid_t task_pid_nr(const struct task_struct *t);
pid_t task_tgid_nr(const struct task_struct *t);
/* The task's 16-byte name field, always NUL-terminated. */
const char *task_comm(const struct task_struct *t);
unsigned int task_flags(const struct task_struct *t);
/* oom_score_adj of the task's signal state (shared by its thread group). */
short task_oom_score_adj(const struct task_struct *t);

/* Holds a task beyond the RCU section it was found in. */
void get_task_struct(struct task_struct *t);
void put_task_struct(struct task_struct *t);

/* User and system time of one thread, nanoseconds. */
void task_cputime(struct task_struct *t, u64 *utime, u64 *stime);
/* User and system time of one thread as /proc reports it, nanoseconds.  The
 * simulated kernel accounts time exactly, so no scaling applies. */
void task_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st);
/* User and system time of the whole thread group, ended threads included. */
void thread_group_cputime_adjusted(struct task_struct *p, u64 *ut, u64 *st);

__END_DECLS

#define for_each_process(p) \
	for ((p) = &init_task; ((p) = next_task(p)) != &init_task;)

#define for_each_thread(p, t) \
	for ((t) = task_first_thread(p); (t); (t) = task_next_thread((p), (t)))

#endif
