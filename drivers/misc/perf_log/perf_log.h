/* pelk_perf_util: CPU performance monitor.
 *
 * Shared types, module-wide variables and log texts of the module.  One
 * source per area: module_frame.cpp (loading, the parameter, the feature
 * switches), perf_monitor.cpp (the performance cycle: process accounting,
 * top ten, the system_server watch, per-CPU load and CPU time split, the
 * sustained-overload report), app_health.cpp (the watched-name table and the
 * application health cycle), user_outputs.cpp (the proc file and the
 * system_server loading device), modem_sleep.cpp (the modem's sleep
 * statistics and the day history).
 */
#ifndef _PELK_PERF_LOG_H
#define _PELK_PERF_LOG_H

#include <linux/types.h>
#include <linux/stddef.h>
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
#include <linux/miscdevice.h>
#include <linux/kobject.h>
#include <linux/list.h>
#include <linux/rhashtable.h>
#include <linux/sched.h>

#include "log_texts.h"

/* ---- sizes ---------------------------------------------------------------- */

/* Every pid below this has a slot in the per-pid arrays. */
#define PELK_PID_SLOTS 32768
#define PELK_TOP_COUNT 10
/* Name slot of the top-ten table: a comm and its terminating zero, or "NULL". */
#define PELK_NAME_SLOT 17
/* CPUs covered by the per-CPU load, and rows of the load ring. */
#define PELK_LOAD_CPUS 8
#define PELK_LOAD_ROWS 5

/* Modem sleep statistics: radio technologies counted (MD, 2G, 3G, 4G,
 * 5G_FR1), days kept in the history, and the block's marker. */
#define MD_SLEEP_RATS 5
#define MD_SLEEP_DAYS 5
#define MD_SLEEP_MAGIC 0x536C702EU
/* task_hash_table: 2^12 chains of system_server thread records, found by the
 * thread key "%s%d" of name and tid, cut at 20 characters. */
#define PELK_TASK_HASH_BITS 12
#define PELK_TASK_KEY_LEN 21
#define PELK_SS_TOP_THREADS 10

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

/* The modem's shared sleep block, as the modem lays it out (little-endian,
 * as the processor stores it).  sum_md_sleep_status holds the latest copy. */
struct md_sleep_block {
	u32 head_magic;			/* MD_SLEEP_MAGIC */
	u32 head_stamp;			/* equals tail_stamp in a consistent block */
	u8 reserved0[32];
	u64 md_slp_duration;		/* ticks of the modem's 32k clock; only logged */
	u8 reserved1[8];
	u64 sleep_time[MD_SLEEP_RATS];	/* cumulative sleep, us: MD, 2G, 3G, 4G, 5G_FR1 */
	u8 reserved2[408];
	u32 tail_stamp;
	u32 tail_magic;			/* MD_SLEEP_MAGIC */
};

/* One day of the history; the reserved word is never written here and moves
 * with its record. */
struct sleep_day_record {
	u32 year;			/* full year of the local date */
	u32 month;			/* 1 to 12 */
	u32 day;			/* 1 to 31 */
	u32 reserved;
	u64 today_time[MD_SLEEP_RATS];	/* sleep of that day so far, us */
	u64 base_time[MD_SLEEP_RATS];	/* counters at the day's first valid cycle; 0 after a restart */
};

/* Record 0 is the current day, records 1 to 4 the days seen before it, the
 * most recent first. */
struct md_sleep_history {
	struct sleep_day_record day[MD_SLEEP_DAYS];
};

/* Other modules link against these layouts: every byte is fixed. */
static_assert(sizeof(struct md_sleep_block) == 512, "md_sleep_block size");
static_assert(offsetof(struct md_sleep_block, head_magic) == 0, "head_magic");
static_assert(sizeof_field(struct md_sleep_block, head_magic) == 4, "head_magic size");
static_assert(offsetof(struct md_sleep_block, head_stamp) == 4, "head_stamp");
static_assert(sizeof_field(struct md_sleep_block, head_stamp) == 4, "head_stamp size");
static_assert(offsetof(struct md_sleep_block, reserved0) == 8, "reserved0");
static_assert(sizeof_field(struct md_sleep_block, reserved0) == 32, "reserved0 size");
static_assert(offsetof(struct md_sleep_block, md_slp_duration) == 40, "md_slp_duration");
static_assert(sizeof_field(struct md_sleep_block, md_slp_duration) == 8, "md_slp_duration size");
static_assert(offsetof(struct md_sleep_block, reserved1) == 48, "reserved1");
static_assert(sizeof_field(struct md_sleep_block, reserved1) == 8, "reserved1 size");
static_assert(offsetof(struct md_sleep_block, sleep_time) == 56, "sleep_time");
static_assert(sizeof_field(struct md_sleep_block, sleep_time) == 40, "sleep_time size");
static_assert(offsetof(struct md_sleep_block, reserved2) == 96, "reserved2");
static_assert(sizeof_field(struct md_sleep_block, reserved2) == 408, "reserved2 size");
static_assert(offsetof(struct md_sleep_block, tail_stamp) == 504, "tail_stamp");
static_assert(sizeof_field(struct md_sleep_block, tail_stamp) == 4, "tail_stamp size");
static_assert(offsetof(struct md_sleep_block, tail_magic) == 508, "tail_magic");
static_assert(sizeof_field(struct md_sleep_block, tail_magic) == 4, "tail_magic size");

static_assert(sizeof(struct sleep_day_record) == 96, "sleep_day_record size");
static_assert(offsetof(struct sleep_day_record, year) == 0, "year");
static_assert(sizeof_field(struct sleep_day_record, year) == 4, "year size");
static_assert(offsetof(struct sleep_day_record, month) == 4, "month");
static_assert(sizeof_field(struct sleep_day_record, month) == 4, "month size");
static_assert(offsetof(struct sleep_day_record, day) == 8, "day");
static_assert(sizeof_field(struct sleep_day_record, day) == 4, "day size");
static_assert(offsetof(struct sleep_day_record, reserved) == 12, "reserved");
static_assert(sizeof_field(struct sleep_day_record, reserved) == 4, "reserved size");
static_assert(offsetof(struct sleep_day_record, today_time) == 16, "today_time");
static_assert(sizeof_field(struct sleep_day_record, today_time) == 40, "today_time size");
static_assert(offsetof(struct sleep_day_record, base_time) == 56, "base_time");
static_assert(sizeof_field(struct sleep_day_record, base_time) == 40, "base_time size");

static_assert(sizeof(struct md_sleep_history) == 480, "md_sleep_history size");
static_assert(offsetof(struct md_sleep_history, day[0]) == 0, "record 0");
static_assert(offsetof(struct md_sleep_history, day[1]) == 96, "record 1");
static_assert(offsetof(struct md_sleep_history, day[2]) == 192, "record 2");
static_assert(offsetof(struct md_sleep_history, day[3]) == 288, "record 3");
static_assert(offsetof(struct md_sleep_history, day[4]) == 384, "record 4");

/* One system_server thread as the watch follows it.  Runtimes are whole
 * tenths of a second of the thread's user + system time. */
struct task_info {
	struct hlist_node node;
	s32 tid;
	u64 last_runtime;	/* thread runtime at the last update */
	u64 delta;		/* thread runtime used in the last period */
	char comm[TASK_COMM_LEN];
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
extern struct hlist_head task_hash_table[1 << PELK_TASK_HASH_BITS];

/* modem_sleep.cpp; the three exports are GPL-only and have C linkage, as
 * other modules see them. */
__BEGIN_DECLS
void odpm_md_sleep_init(void *address);
extern struct md_sleep_block sum_md_sleep_status;
extern struct md_sleep_history sleep_history;
__END_DECLS

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
int pelk_systemserver_uevent_init(void);
int pelk_systemserver_uevent(void);
void pelk_systemserver_uevent_exit(void);

/* modem_sleep.cpp: the per-cycle step, with my_semaphore held. */
void md_sleep_statistic(void);

/* ---- sibling-module services ------------------------------------------------------ */

__BEGIN_DECLS
/* Feature-switch service: 1 means enabled, anything else disabled.
 *
 * The module requires the service to export unregister_ferrow_notifier as
 * well as register_ferrow_notifier: the two notifier blocks and their
 * callbacks live in this module's memory, so unloading must take them off
 * the service's chain before the module's code and data go away, or the
 * service's next notification would call into freed memory.  A service that
 * only offers registration cannot host a module that unloads. */
int is_tid_enable(unsigned long long feature_id);
int register_ferrow_notifier(struct notifier_block *nb);
int unregister_ferrow_notifier(struct notifier_block *nb);
/* Event-report service. */
int zebk_caller_api(const char *event_code, int value, int pid, const char *text);
__END_DECLS

/* ---- log texts ------------------------------------------------------------------- */

/* The texts are in log_texts.h, shared with the log reader; the levels are here. */
#define PELK_MSG_INIT PELK_TEXT_INIT
#define PELK_MSG_EXIT PELK_TEXT_EXIT
#define PELK_MSG_DELAY_REFUSED KERN_WARNING PELK_TEXT_DELAY_REFUSED
#define PELK_MSG_HEALTH_TRUE KERN_INFO PELK_TEXT_HEALTH_TRUE
#define PELK_MSG_HEALTH_FALSE KERN_INFO PELK_TEXT_HEALTH_FALSE

#define PELK_MSG_WQ_CREATED KERN_INFO PELK_TEXT_WQ_CREATED
#define PELK_MSG_WQ_UNAVAILABLE KERN_INFO PELK_TEXT_WQ_UNAVAILABLE
#define PELK_MSG_CYCLE_START KERN_INFO PELK_TEXT_CYCLE_START
#define PELK_MSG_CYCLE_DONE KERN_INFO PELK_TEXT_CYCLE_DONE
#define PELK_MSG_TOP_HEADER KERN_INFO PELK_TEXT_TOP_HEADER
#define PELK_MSG_TOP_ROW KERN_INFO PELK_TEXT_TOP_ROW
#define PELK_MSG_CPUS_USAGE KERN_INFO PELK_TEXT_CPUS_USAGE
#define PELK_MSG_CPU_SPLIT KERN_INFO PELK_TEXT_CPU_SPLIT
#define PELK_MSG_ZEB_EFFECTIVE KERN_INFO PELK_TEXT_ZEB_EFFECTIVE

#define PELK_MSG_NO_SS_TASK KERN_INFO PELK_TEXT_NO_SS_TASK
#define PELK_MSG_TASK_INFO_ALLOC_FAILED KERN_INFO PELK_TEXT_TASK_INFO_ALLOC_FAILED
#define PELK_MSG_TASK_INFO_MISSING KERN_ERR PELK_TEXT_TASK_INFO_MISSING
#define PELK_MSG_TASKS_ARRAY_FAILED KERN_ERR PELK_TEXT_TASKS_ARRAY_FAILED
#define PELK_MSG_SS_TOP_START KERN_INFO PELK_TEXT_SS_TOP_START
#define PELK_MSG_SS_TOP_HEADER KERN_INFO PELK_TEXT_SS_TOP_HEADER
#define PELK_MSG_SS_TOP_ROW KERN_INFO PELK_TEXT_SS_TOP_ROW

#define MD_MSG_NO_SHARE_MEM KERN_INFO MD_TEXT_NO_SHARE_MEM
#define MD_MSG_SHARE_MEM_NULL KERN_INFO MD_TEXT_SHARE_MEM_NULL
#define MD_MSG_NOT_VALID KERN_INFO MD_TEXT_NOT_VALID
#define MD_MSG_DURATION KERN_INFO MD_TEXT_DURATION
#define MD_MSG_SUM MD_TEXT_SUM
#define MD_MSG_UTC MD_TEXT_UTC
#define MD_MSG_SUM_LINE KERN_INFO MD_TEXT_SUM_LINE

/* The loading device.  The environment entry is literal, not a format:
 * user space receives both percent signs. */
#define PELK_SYSTEMSERVER_DEVICE "pelk_systemserver_loading"
#define PELK_SYSTEMSERVER_LOADING_ENV "SYSTEMSERVER_LOADING=200%%"
#define PELK_MSG_MISC_REGISTER_FAILED KERN_INFO PELK_TEXT_MISC_REGISTER_FAILED
#define PELK_MSG_UEVENT_ADD_FAILED KERN_INFO PELK_TEXT_UEVENT_ADD_FAILED
#define PELK_MSG_UEVENT_ENV_FAILED KERN_INFO PELK_TEXT_UEVENT_ENV_FAILED

#define PELK_MSG_HEALTH_INIT KERN_INFO PELK_TEXT_HEALTH_INIT
#define PELK_MSG_COMM_LIST_NOMEM KERN_INFO PELK_TEXT_COMM_LIST_NOMEM
#define PELK_MSG_HT_INIT_FAILED KERN_INFO PELK_TEXT_HT_INIT_FAILED
#define PELK_MSG_HT_INSERT_FAILED KERN_WARNING PELK_TEXT_HT_INSERT_FAILED
#define PELK_MSG_HEALTH_CTX_NOMEM KERN_ERR PELK_TEXT_HEALTH_CTX_NOMEM
#define PELK_MSG_HEALTH_WQ_FAILED KERN_ERR PELK_TEXT_HEALTH_WQ_FAILED
#define PELK_MSG_HEALTH_RECORD_NOMEM KERN_ERR PELK_TEXT_HEALTH_RECORD_NOMEM
#define PELK_MSG_HEALTH_LINE KERN_INFO PELK_TEXT_HEALTH_LINE

#define PELK_PROC_SPLIT "%02d, %02d, %02d, %02d, %02d, "
#define PELK_PROC_LOAD_ROW "%2llu,%2llu,%2llu,%2llu,%2llu,%2llu,%2llu,%2llu,"

#endif
