/* pelk_perf_util: CPU performance monitor.
 *
 * Shared types, module-wide variables and log texts of the module.  One
 * source per area: module_frame.cpp (loading, the parameter, the feature
 * switches), perf_monitor.cpp (the performance cycle: process accounting,
 * top ten, per-CPU load and CPU time split), app_health.cpp (the watched-name
 * table and the application health cycle), user_outputs.cpp (the proc file).
 */
#ifndef _PELK_PERF_LOG_H
#define _PELK_PERF_LOG_H

#include <linux/types.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/printk.h>
#include <linux/string.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/notifier.h>
#include <linux/semaphore.h>
#include <linux/workqueue.h>
#include <linux/cpumask.h>
#include <linux/kernel_stat.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/time.h>
#include <linux/ktime.h>
#include <linux/list.h>
#include <linux/rhashtable.h>
#include <linux/sched.h>

/* ---- sizes ---------------------------------------------------------------- */

/* Every pid below this has a slot in the per-pid arrays. */
#define PELK_PID_SLOTS 32768
#define PELK_TOP_COUNT 10
/* Name slot of the top-ten table: a comm and its terminating zero, or "NULL". */
#define PELK_NAME_SLOT 17
/* CPUs covered by the per-CPU load, and rows of the load ring. */
#define PELK_LOAD_CPUS 8
#define PELK_LOAD_ROWS 5

/* Feature ids of the switch service. */
#define PELK_HEALTH_FEATURE_ID 901060000029ULL
#define PELK_ZEB_FEATURE_ID 541860000033ULL

/* ---- shared types ------------------------------------------------------------- */

/* Cumulative CPU time of the whole system, summed over the possible CPUs, in
 * USER_HZ clock ticks; one field per cpustat index, in that order. */
struct cpustat_snapshot {
	u64 user;
	u64 nice;
	u64 system;
	u64 softirq;
	u64 irq;
	u64 idle;
	u64 iowait;
	u64 steal;
	u64 guest;
	u64 guest_nice;
};

/* The performance cycle's work context: one instance for the module's life. */
struct monitor_context {
	struct delayed_work work;
	u64 *last_runtime;		/* per pid: process CPU time at the last walk, ns */
	u64 *delta;			/* per pid: CPU time used in the last period, ns */
	s32 *pid_list;			/* pids with a nonzero delta, ascending */
	struct cpustat_snapshot cpustat;	/* reading of the previous split */
	struct task_struct **tasks;	/* per pid: the process seen by this cycle's walk */
	s32 top[PELK_TOP_COUNT];	/* busiest pids of the cycle, busiest first; 0: empty */
	struct cpumask cpus;		/* the cycle is queued on the first of these */
};

/* ---- the application health watch ------------------------------------------------ */

/* Bytes of a watched name and of the lookup key: a comm and room to spare. */
#define PELK_WATCHED_KEY_LEN 24
/* Buckets of app_health_ht: 1 << PELK_HEALTH_HT_BITS. */
#define PELK_HEALTH_HT_BITS 10
/* Accumulating cycles kept, and how many of the newest make one minute. */
#define PELK_HEALTH_SLOTS 30
#define PELK_HEALTH_1MIN_SLOTS 6
/* Pause between two health cycles; the one- and five-minute windows are 6
 * and 30 cycles of it. */
#define PELK_HEALTH_PERIOD_MS 10000

/* One entry per position of comm_list; the table ht is keyed by name. */
struct watched_name {
	char name[PELK_WATCHED_KEY_LEN];
	struct rhash_head node;
};

/* The health cycle's work context: one instance while the cycle exists. */
struct health_work_context {
	struct workqueue_struct *wq;	/* "app_health_info" */
	struct delayed_work work;
	struct cpumask cpus;		/* the cycle is queued on the first of these */
	unsigned long delay;		/* jiffies from the end of a cycle to the next */
};

/* CPU time history of one watched process name. */
struct app_health_record {
	char name[TASK_COMM_LEN];
	struct hlist_node node;
	u64 slots[PELK_HEALTH_SLOTS];	/* ns used in each accumulating cycle */
	u32 slot_index;			/* the oldest slot, overwritten next */
	u64 sum_5min;			/* all slots */
	u64 sum_1min;			/* the newest PELK_HEALTH_1MIN_SLOTS slots */
	u64 last_runtime;		/* process CPU time at the last sample, ns */
	bool reported;			/* reported once: never sampled again */
};

/* ---- module-wide variables ------------------------------------------------------- */

/* module_frame.cpp */
extern int pelk_util_delay_time_ms;	/* kmonitor_delay, ms; read anew at every use */
extern struct semaphore my_semaphore;	/* keeps the lines of one report together */
extern bool is_HEALTH_enable;
extern bool is_ZEB_enable;
extern struct proc_dir_entry *cpumonitor_dir;

/* perf_monitor.cpp */
extern struct workqueue_struct *pelk_perf_monitor_wq;
extern s32 oom_score[PELK_TOP_COUNT];
extern u64 g_load[PELK_LOAD_ROWS][PELK_LOAD_CPUS];
extern u64 total_load;
extern u64 g_user_time, g_system_time, g_io_time, g_irq_time, g_idle_time;

/* app_health.cpp */
extern struct watched_name *record;
extern struct rhashtable ht;
extern struct hlist_head app_health_ht[1 << PELK_HEALTH_HT_BITS];

/* ---- functions shared between the sources ------------------------------------------- */

/* perf_monitor.cpp */
void pelk_monitor_init(void);
void pelk_monitor_exit(void);
void get_all_cpustat(struct cpustat_snapshot *snapshot);
int check_top_malloc(struct monitor_context *ctx);
void pelk_perf_monitor_work_func(struct work_struct *work);
/* Wall clock less the kernel's time-zone offset, broken down. */
void pelk_local_time(struct tm *tm);
/* ns as a percentage of one CPU over the current period (0 for period 0). */
u64 pelk_cpu_percent(u64 ns);

/* app_health.cpp */
void pelk_health_init(void);
void pelk_health_exit(void);

/* user_outputs.cpp */
void pelk_cpu_monitor_proc_init(void);
void pelk_cpu_monitor_proc_exit(void);

/* ---- sibling-module services ------------------------------------------------------ */

__BEGIN_DECLS
/* Feature-switch service: 1 means enabled, anything else disabled. */
int is_tid_enable(unsigned long long feature_id);
int register_ferrow_notifier(struct notifier_block *nb);
int unregister_ferrow_notifier(struct notifier_block *nb);
/* Event-report service. */
int zebk_caller_api(const char *event_code, int value, int pid, const char *text);
__END_DECLS

/* ---- log texts ------------------------------------------------------------------- */

#define PELK_MSG_INIT "pelk_cpu_monitor_init"
#define PELK_MSG_EXIT "pelk_cpu_monitor_exit"
#define PELK_MSG_HEALTH_TRUE KERN_INFO "is_HEALTH_enable is true"
#define PELK_MSG_HEALTH_FALSE KERN_INFO "is_HEALTH_enable is false"

#define PELK_MSG_WQ_CREATED KERN_INFO "[K] Success to create pelk_perf_monitor_wq (0x%p).\n"
#define PELK_MSG_WQ_UNAVAILABLE KERN_INFO "[K] pelk_perf_monitor_wq is unavaliable.\n"
#define PELK_MSG_CYCLE_START KERN_INFO "[K][Perf] PELK Perf Statistic start (%02d-%02d %02d:%02d:%02d)\n"
#define PELK_MSG_CYCLE_DONE KERN_INFO "[K][Perf] PELK Perf Statistic done\n"

#define PELK_MSG_TOP_HEADER \
	KERN_INFO "[K]     Usage          PID        %20s          Total:%d(ms)*%d       Oom_Score_Adj\n"
#define PELK_MSG_TOP_ROW \
	KERN_INFO "[K] %8llu%%        %5d        %20s          %11llu(ns)          %5d\n"

#define PELK_MSG_CPUS_USAGE \
	KERN_INFO "[K]  Cpus Usage [%2llu], [%2llu], [%2llu], [%2llu], [%2llu] [%2llu], [%2llu], [%2llu]\n"
#define PELK_MSG_CPU_SPLIT \
	KERN_INFO "[K]  user[%02d],system[%02d],iowait[%02d],irq[%02d],idle[%02d]\n"

#define PELK_MSG_HEALTH_INIT KERN_INFO "pelk_health init!\n"
#define PELK_MSG_COMM_LIST_NOMEM KERN_INFO "fail to malloc comm_list\n"
#define PELK_MSG_HT_INIT_FAILED KERN_INFO "rhashtable_init:falied"
#define PELK_MSG_HT_INSERT_FAILED KERN_WARNING "Test failed insertion returned err %d\n"
#define PELK_MSG_HEALTH_CTX_NOMEM KERN_ERR "Failed to allocate memory for work data\n"
#define PELK_MSG_HEALTH_WQ_FAILED KERN_ERR "Failed to create workqueue\n"
#define PELK_MSG_HEALTH_RECORD_NOMEM KERN_ERR "Memory allocation failed\n"
#define PELK_MSG_HEALTH_LINE KERN_INFO "%s, 1min:%d, 5min:%d\n"

#define PELK_PROC_SPLIT "%02d, %02d, %02d, %02d, %02d, "
#define PELK_PROC_LOAD_ROW "%2llu,%2llu,%2llu,%2llu,%2llu,%2llu,%2llu,%2llu,"

#endif
