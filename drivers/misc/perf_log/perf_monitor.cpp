/* The performance monitor: one self-re-arming delayed work that measures,
 * every kmonitor_delay milliseconds, the CPU time of every process and of
 * every CPU since the previous cycle and writes one report block. */
#include "perf_log.h"
#include <linux/hash.h>
#include <linux/jhash.h>
#include <linux/jiffies.h>
#include <linux/rcupdate.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/sort.h>
#include <linux/tick.h>
#include <linux/vmalloc.h>

struct workqueue_struct *pelk_perf_monitor_wq;
s32 oom_score[PELK_TOP_COUNT];
u64 g_load[PELK_LOAD_ROWS][PELK_LOAD_CPUS];
u64 total_load;
u64 g_user_time, g_system_time, g_io_time, g_irq_time, g_idle_time;
/* Touched only by the cycle's worker (and by the exit routine once the
 * cycle has stopped), so it needs no lock. */
struct hlist_head task_hash_table[1 << PELK_TASK_HASH_BITS];

static struct monitor_context *monitor_ctx;
/* Whether monitor_ctx->work was initialised and queued (the context is not
 * zeroed, so its work must not be touched before). */
static bool monitor_armed;

/* ---- shared helpers ---------------------------------------------------------------- */

void pelk_local_time(struct tm *tm)
{
	time64_t local = ktime_get_real_seconds() - (time64_t)sys_tz.tz_minuteswest * 60;

	time64_to_tm(local, 0, tm);
}

u64 pelk_cpu_percent(u64 ns)
{
	int period = READ_ONCE(pelk_util_delay_time_ms);

	if (period <= 0)
		return 0;
	return ns / (u64)period / 10000;
}

static unsigned long pelk_period_jiffies(void)
{
	return msecs_to_jiffies((unsigned int)READ_ONCE(pelk_util_delay_time_ms));
}

/* ---- CPU time counters -------------------------------------------------------------- */

/* The ten counters of one CPU in nanoseconds.  Idle and iowait come from the
 * idle tracking of an online CPU where it answers, else from the cumulative
 * counters: the rule by which /proc/stat is built. */
static void pelk_read_cpu_counters(int cpu, u64 stat[NR_STATS])
{
	struct kernel_cpustat kcs;
	u64 us = (u64)-1;
	int i;

	kcpustat_cpu_fetch(&kcs, cpu);
	for (i = 0; i < NR_STATS; i++)
		stat[i] = kcs.cpustat[i];

	if (cpu_online(cpu))
		us = get_cpu_idle_time_us(cpu, NULL);
	if (us != (u64)-1)
		stat[CPUTIME_IDLE] = us * NSEC_PER_USEC;

	us = (u64)-1;
	if (cpu_online(cpu))
		us = get_cpu_iowait_time_us(cpu, NULL);
	if (us != (u64)-1)
		stat[CPUTIME_IOWAIT] = us * NSEC_PER_USEC;
}

void get_all_cpustat(struct cpustat_snapshot *snapshot)
{
	u64 sum[NR_STATS] = {};
	u64 stat[NR_STATS];
	int cpu, i;

	if (!snapshot)
		return;
	for_each_possible_cpu(cpu) {
		pelk_read_cpu_counters(cpu, stat);
		for (i = 0; i < NR_STATS; i++)
			sum[i] += stat[i];
	}
	snapshot->user = nsec_to_clock_t(sum[CPUTIME_USER]);
	snapshot->nice = nsec_to_clock_t(sum[CPUTIME_NICE]);
	snapshot->system = nsec_to_clock_t(sum[CPUTIME_SYSTEM]);
	snapshot->softirq = nsec_to_clock_t(sum[CPUTIME_SOFTIRQ]);
	snapshot->irq = nsec_to_clock_t(sum[CPUTIME_IRQ]);
	snapshot->idle = nsec_to_clock_t(sum[CPUTIME_IDLE]);
	snapshot->iowait = nsec_to_clock_t(sum[CPUTIME_IOWAIT]);
	snapshot->steal = nsec_to_clock_t(sum[CPUTIME_STEAL]);
	snapshot->guest = nsec_to_clock_t(sum[CPUTIME_GUEST]);
	snapshot->guest_nice = nsec_to_clock_t(sum[CPUTIME_GUEST_NICE]);
}

/* ---- per-pid arrays ------------------------------------------------------------------ */

int check_top_malloc(struct monitor_context *ctx)
{
	if (ctx->last_runtime && ctx->delta && ctx->pid_list && ctx->tasks)
		return 1;
	vfree(ctx->last_runtime);
	vfree(ctx->delta);
	vfree(ctx->pid_list);
	vfree(ctx->tasks);
	ctx->last_runtime = NULL;
	ctx->delta = NULL;
	ctx->pid_list = NULL;
	ctx->tasks = NULL;
	return 0;
}

/* ---- process accounting and the top ten ---------------------------------------------- */

/* Load of system_server in percent of one CPU since its last update.  The
 * stored total only grows: after a restart the new process counts from the
 * old total once it has passed it. */
static u64 pelk_kernel_top_cal(u64 total)
{
	static u64 last_runtime;
	u64 d = 0;

	if (total > last_runtime || last_runtime == 0) {
		d = total - last_runtime;
		last_runtime = total;
	}
	return pelk_cpu_percent(d);
}

/* Each process's CPU time since the previous cycle.  A total below the
 * stored one means a younger process took the pid: its delta stays 0 and it
 * is measured from the next cycle on. */
static void pelk_process_walk(struct monitor_context *ctx, pid_t *ss_pid, u64 *ss_load)
{
	struct task_struct *p;

	*ss_pid = 0;
	*ss_load = 0;
	rcu_read_lock();
	for_each_process(p) {
		pid_t pid = task_pid_nr(p);
		u64 ut, st, total;

		thread_group_cputime_adjusted(p, &ut, &st);
		total = ut + st;
		/* Measured whatever its pid, so before the slot test. */
		if (!strcmp(task_comm(p), "system_server")) {
			*ss_pid = pid;
			*ss_load = pelk_kernel_top_cal(total);
		}
		if (pid < 0 || pid >= PELK_PID_SLOTS)
			continue;
		if (total >= ctx->last_runtime[pid])
			ctx->delta[pid] = total - ctx->last_runtime[pid];
		ctx->last_runtime[pid] = total;
		ctx->tasks[pid] = p;
	}
	rcu_read_unlock();
}

static int pelk_fill_pid_list(struct monitor_context *ctx)
{
	int pid, n = 0;

	for (pid = 0; pid < PELK_PID_SLOTS; pid++)
		if (ctx->delta[pid])
			ctx->pid_list[n++] = pid;
	return n;
}

static bool pelk_already_chosen(const struct monitor_context *ctx, int k, s32 pid)
{
	int i;

	for (i = 0; i < k; i++)
		if (ctx->top[i] == pid)
			return true;
	return false;
}

/* The ten largest deltas below the bound, largest first; of equal deltas the
 * lower pid.  The bound is all the CPU time the online CPUs can give in one
 * period (inclusive): a larger delta is a lifetime, not a period's use. */
static void pelk_select_top(struct monitor_context *ctx, int n)
{
	u64 bound = ((u64)READ_ONCE(pelk_util_delay_time_ms) * num_online_cpus() * 1000000ULL) | 1;
	int k, i;

	for (k = 0; k < PELK_TOP_COUNT; k++) {
		u64 best = 0;

		ctx->top[k] = 0;
		for (i = 0; i < n; i++) {
			s32 p = ctx->pid_list[i];

			if (pelk_already_chosen(ctx, k, p) || ctx->delta[p] >= bound ||
			    ctx->delta[p] <= best)
				continue;
			best = ctx->delta[p];
			ctx->top[k] = p;
		}
	}
}

/* Looks up the live process of top slot k.  The name is taken from the
 * process found, not from the walk's reference: that process may have
 * exited since, and its pid passed to a new one.  A slot whose process is
 * gone (or that is empty) shows "NULL" and an oom_score_adj of 0. */
static bool pelk_top_slot_name(int k, s32 pid, char name[PELK_NAME_SLOT])
{
	struct task_struct *p;
	bool found = false;

	memset(name, 0, PELK_NAME_SLOT);
	rcu_read_lock();
	for_each_process(p) {
		if (task_pid_nr(p) != pid)
			continue;
		oom_score[k] = task_oom_score_adj(p);
		strscpy(name, task_comm(p), PELK_NAME_SLOT);
		found = true;
		break;
	}
	rcu_read_unlock();
	if (!found)
		strscpy(name, "NULL", PELK_NAME_SLOT);
	return found;
}

/* Called with my_semaphore held. */
static void pelk_log_top_table(struct monitor_context *ctx)
{
	char names[PELK_TOP_COUNT][PELK_NAME_SLOT];
	bool found[PELK_TOP_COUNT];
	int k;

	printk(PELK_MSG_TOP_HEADER, "Name", READ_ONCE(pelk_util_delay_time_ms),
	       (int)num_online_cpus());
	for (k = 0; k < PELK_TOP_COUNT; k++)
		found[k] = pelk_top_slot_name(k, ctx->top[k], names[k]);
	for (k = 0; k < PELK_TOP_COUNT; k++) {
		u64 delta = ctx->delta[ctx->top[k]];

		printk(PELK_MSG_TOP_ROW, pelk_cpu_percent(delta), ctx->top[k], names[k],
		       delta, found[k] ? oom_score[k] : 0);
	}
}

/* ---- the system_server watch ------------------------------------------------------------ */

/* Whole tenths of a second of the thread's user + system time. */
static u64 pelk_thread_runtime(struct task_struct *t)
{
	u64 ut, st;

	task_cputime_adjusted(t, &ut, &st);
	return (ut + st) / 100000000;
}

static struct hlist_head *pelk_task_chain(const char *comm, pid_t tid)
{
	char key[PELK_TASK_KEY_LEN];

	snprintf(key, sizeof(key), "%s%d", comm, tid);
	return &task_hash_table[hash_32(jhash(key, strlen(key), 0), PELK_TASK_HASH_BITS)];
}

/* The first record of the chain that bears the thread's name; the tid plays
 * no part, so a record may pass from one thread to another of that name. */
static struct task_info *pelk_find_task_info(struct hlist_head *chain, const char *comm)
{
	struct task_info *info;

	hlist_for_each_entry(info, chain, node)
		if (!strncmp(info->comm, comm, TASK_COMM_LEN))
			return info;
	return NULL;
}

/* Called inside the RCU section of the thread walk: the allocation must not
 * sleep.  A thread that cannot be recorded is tried again next cycle.  The
 * name is copied once, so that a thread renaming itself meanwhile cannot give
 * its key and its record two different names. */
static void pelk_record_thread(struct task_struct *t)
{
	char comm[TASK_COMM_LEN];
	pid_t tid = task_pid_nr(t);
	u64 runtime = pelk_thread_runtime(t);
	struct hlist_head *chain;
	struct task_info *info;

	strscpy(comm, task_comm(t), sizeof(comm));
	chain = pelk_task_chain(comm, tid);
	info = pelk_find_task_info(chain, comm);

	if (info) {
		if (info->tid != tid) {
			info->tid = tid;
			info->delta = runtime;
		} else if (runtime >= info->last_runtime) {
			info->delta = runtime - info->last_runtime;
		}
		info->last_runtime = runtime;
		return;
	}

	info = (struct task_info *)kzalloc(sizeof(*info), GFP_ATOMIC);
	if (!info) {
		printk(PELK_MSG_TASK_INFO_ALLOC_FAILED, comm);
		printk(PELK_MSG_TASK_INFO_MISSING, comm);
		return;
	}
	strscpy(info->comm, comm, TASK_COMM_LEN);
	info->last_runtime = runtime;
	info->delta = runtime;
	info->tid = tid;
	hlist_add_head(&info->node, chain);
}

/* Drops the records whose tid no longer names a thread of system_server:
 * ended threads, and every thread of a system_server that has restarted. */
static void pelk_sweep_task_table(pid_t ss_tgid)
{
	struct task_info *info;
	struct hlist_node *next;
	int i;

	for (i = 0; i < (1 << PELK_TASK_HASH_BITS); i++) {
		hlist_for_each_entry_safe(info, next, &task_hash_table[i], node) {
			struct task_struct *t = find_task_by_vpid(info->tid);

			if (t && task_tgid_nr(t) == ss_tgid)
				continue;
			hlist_del(&info->node);
			kfree(info);
		}
	}
}

/* Brings the thread table up to date.  The walk, the lookups and the sweep
 * need the RCU read side; nothing in it may sleep. */
static void pelk_update_task_table(pid_t ss_pid)
{
	struct task_struct *ss, *t;

	rcu_read_lock();
	ss = find_task_by_vpid(ss_pid);
	if (!ss) {
		rcu_read_unlock();
		printk(PELK_MSG_NO_SS_TASK, ss_pid);
		return;
	}
	for_each_thread(ss, t) {
		/* Only the main thread is recorded under the process's name. */
		if (!strncmp(task_comm(t), "system_server", TASK_COMM_LEN) &&
		    task_pid_nr(t) != ss_pid)
			continue;
		pelk_record_thread(t);
	}
	pelk_sweep_task_table(task_tgid_nr(ss));
	rcu_read_unlock();
}

/* Sort comparator: largest delta first. */
static int compare_task_info(const void *a, const void *b)
{
	const struct task_info *x = *(const struct task_info *const *)a;
	const struct task_info *y = *(const struct task_info *const *)b;

	if (x->delta < y->delta)
		return 1;
	if (x->delta > y->delta)
		return -1;
	return 0;
}

static size_t pelk_count_busy_threads(void)
{
	struct task_info *info;
	size_t n = 0;
	int i;

	for (i = 0; i < (1 << PELK_TASK_HASH_BITS); i++)
		hlist_for_each_entry(info, &task_hash_table[i], node)
			if (info->delta)
				n++;
	return n;
}

/* The ten busiest threads of the last period.  my_semaphore keeps the lines
 * together; it is released before the cycle takes it for its report. */
static void pelk_log_top_threads(void)
{
	struct task_info **busy, *info;
	size_t n, i = 0;
	struct tm tm;
	int b;

	pelk_local_time(&tm);
	n = pelk_count_busy_threads();
	busy = (struct task_info **)kmalloc_array(n, sizeof(*busy), GFP_ATOMIC);
	if (!busy) {
		printk(PELK_MSG_TASKS_ARRAY_FAILED);
		return;
	}
	for (b = 0; b < (1 << PELK_TASK_HASH_BITS); b++)
		hlist_for_each_entry(info, &task_hash_table[b], node)
			if (info->delta)
				busy[i++] = info;
	sort(busy, n, sizeof(*busy), compare_task_info, NULL);

	down(&my_semaphore);
	printk(PELK_MSG_SS_TOP_START, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
	printk(PELK_MSG_SS_TOP_HEADER, "Comm");
	for (i = 0; i < n && i < PELK_SS_TOP_THREADS; i++)
		printk(PELK_MSG_SS_TOP_ROW, busy[i]->delta, busy[i]->tid, busy[i]->comm);
	up(&my_semaphore);
	kfree(busy);
}

/* Loads in percent of one CPU: at 150 user space is told, at 100 the busiest
 * threads are logged.  The event has no rate limit of its own. */
static void pelk_systemserver_watch(pid_t ss_pid, u64 ss_load)
{
	if (ss_load >= 150)
		pelk_systemserver_uevent();
	pelk_update_task_table(ss_pid);
	if (ss_load >= 100)
		pelk_log_top_threads();
}

/* Unloading: the records still in the table go with the module. */
static void pelk_free_task_table(void)
{
	struct task_info *info;
	struct hlist_node *next;
	int i;

	for (i = 0; i < (1 << PELK_TASK_HASH_BITS); i++) {
		hlist_for_each_entry_safe(info, next, &task_hash_table[i], node) {
			hlist_del(&info->node);
			kfree(info);
		}
	}
}

/* ---- per-CPU load and the CPU time split ------------------------------------------------ */

/* Loads of CPUs 0 to 7 since the previous cycle, appended to the g_load
 * ring.  CPUs numbered 8 or more have no slot and are left out. */
static void store_load_row(u32 row, const u64 loads[PELK_LOAD_CPUS])
{
	int cpu;

	for (cpu = 0; cpu < PELK_LOAD_CPUS; cpu++)
		WRITE_ONCE(g_load[row][cpu], loads[cpu]);
}

static void get_single_cpustat(u64 loads[PELK_LOAD_CPUS])
{
	static u64 cpustat_bak[PELK_LOAD_CPUS][2];
	static u32 cnt;
	u64 stat[NR_STATS];
	int cpu, i;
	u32 row;

	memset(loads, 0, sizeof(u64) * PELK_LOAD_CPUS);
	for_each_possible_cpu(cpu) {
		u64 total_ns = 0, idle_ns, total, busy;
		u32 divisor;

		if (cpu >= PELK_LOAD_CPUS)
			break;
		pelk_read_cpu_counters(cpu, stat);
		for (i = 0; i < NR_STATS; i++)
			total_ns += stat[i];
		idle_ns = stat[CPUTIME_IDLE] + stat[CPUTIME_IOWAIT];
		/* Converted separately: busy is not total minus idle in ticks. */
		total = nsec_to_clock_t(total_ns);
		busy = nsec_to_clock_t(total_ns - idle_ns);
		divisor = (u32)(total - cpustat_bak[cpu][0]);
		loads[cpu] = divisor ? ((busy - cpustat_bak[cpu][1]) * 100) / divisor : 0;
		cpustat_bak[cpu][0] = total;
		cpustat_bak[cpu][1] = busy;
	}

	/* The proc file reads the rows without a lock: every slot is written
	 * once, on its own (a read may mix two cycles, never tear a value). */
	if (cnt != PELK_LOAD_ROWS) {
		store_load_row(cnt, loads);
		cnt++;
	} else {
		for (row = 0; row < PELK_LOAD_ROWS - 1; row++)
			store_load_row(row, g_load[row + 1]);
		store_load_row(PELK_LOAD_ROWS - 1, loads);
	}
}

static void pelk_log_cpu_loads(void)
{
	u64 loads[PELK_LOAD_CPUS];
	u64 sum = 0;
	int i;

	get_single_cpustat(loads);
	printk(PELK_MSG_CPUS_USAGE, loads[0], loads[1], loads[2], loads[3], loads[4],
	       loads[5], loads[6], loads[7]);
	for (i = 0; i < PELK_LOAD_CPUS; i++)
		sum += loads[i];
	WRITE_ONCE(total_load, sum);
}

/* The split of the system's CPU time since the previous split.  Only the
 * idle term is clamped (idle tracking may step back); everything else wraps.
 * A cycle with no time at all logs nothing and keeps the previous split. */
static void pelk_log_cpu_split(struct monitor_context *ctx)
{
	struct cpustat_snapshot cur;
	const struct cpustat_snapshot *prev = &ctx->cpustat;
	u64 user, system, iowait, irq, idle, total;

	get_all_cpustat(&cur);
	user = (cur.user + cur.nice) - (prev->user + prev->nice);
	system = cur.system - prev->system;
	iowait = cur.iowait - prev->iowait;
	irq = (cur.softirq + cur.irq) - (prev->softirq + prev->irq);
	idle = (cur.idle < prev->idle ? 0 : cur.idle - prev->idle) +
	       (cur.steal + cur.guest) - (prev->steal + prev->guest);
	total = user + system + iowait + irq + idle;

	if (total) {
		u64 pu = user * 100 / total, ps = system * 100 / total;
		u64 pio = iowait * 100 / total, pirq = irq * 100 / total;
		u64 pidle = idle * 100 / total;

		printk(PELK_MSG_CPU_SPLIT, (int)pu, (int)ps, (int)pio, (int)pirq, (int)pidle);
		WRITE_ONCE(g_user_time, pu);
		WRITE_ONCE(g_system_time, ps);
		WRITE_ONCE(g_io_time, pio);
		WRITE_ONCE(g_irq_time, pirq);
		WRITE_ONCE(g_idle_time, pidle);
	}
	ctx->cpustat = cur;
}

/* ---- the sustained-overload report ---------------------------------------------------- */

/* Reports one sustained overload, naming the cycle's busiest process.  At
 * most three a day window, at least 600 s apart on the monotonic clock (which
 * leaves out suspend).  The switch decides only whether the call is made: a
 * report it holds back uses up the budget and the spacing all the same. */
static void freeze_cpustat_trigger(struct monitor_context *ctx, u32 *count)
{
	static u64 trigger_time;
	u64 now = (u64)ns_to_timespec64(ktime_get()).tv_sec;

	if (*count == 3)
		return;
	if (trigger_time && now - trigger_time < 600)
		return;
	if (READ_ONCE(is_ZEB_enable))
		zebk_caller_api("0xffffff26", 33824806, ctx->top[0], "");
	trigger_time = now;
	(*count)++;
}

/* Every cycle, after total_load: the third overloaded cycle in a row (98 per
 * online CPU, once the phone has been up 101 s) runs the trigger.  The day
 * window runs on the boot-time clock, so a long suspend can end it. */
static void freeze_cpustat_zeb(struct monitor_context *ctx)
{
	static s32 last_time;
	static s32 time_count;
	static u32 count;
	s64 boot_ns = ktime_get_with_offset(TK_OFFS_BOOT);
	s64 sec = boot_ns / NSEC_PER_SEC;

	printk(PELK_MSG_ZEB_EFFECTIVE);
	if (last_time == 0)
		last_time = (s32)sec;
	if (sec - (s64)last_time >= 86401) {
		time_count = 0;
		count = 0;
		last_time = (s32)sec;
	}
	if (boot_ns < 101000000000LL)
		return;
	if (READ_ONCE(total_load) < 98ULL * num_online_cpus()) {
		time_count = 0;
		return;
	}
	if (time_count <= 1) {
		time_count++;
		return;
	}
	freeze_cpustat_trigger(ctx, &count);
	time_count = 0;
}

/* ---- the cycle ------------------------------------------------------------------------ */

void pelk_perf_monitor_work_func(struct work_struct *work)
{
	struct monitor_context *ctx =
		container_of(to_delayed_work(work), struct monitor_context, work);
	struct tm tm;

	if (!READ_ONCE(pelk_perf_monitor_wq)) {
		printk(PELK_MSG_WQ_UNAVAILABLE);
		return;
	}
	/* Re-armed first: the period runs from one start to the next, however
	 * long this cycle takes. */
	queue_delayed_work_on(cpumask_first(&ctx->cpus), pelk_perf_monitor_wq, &ctx->work,
			      pelk_period_jiffies());
	pelk_local_time(&tm);

	if (check_top_malloc(ctx)) {
		pid_t ss_pid;
		u64 ss_load;

		memset(ctx->delta, 0, sizeof(u64) * PELK_PID_SLOTS);
		memset(ctx->tasks, 0, sizeof(struct task_struct *) * PELK_PID_SLOTS);
		memset(ctx->pid_list, 0, sizeof(s32) * PELK_PID_SLOTS);
		pelk_process_walk(ctx, &ss_pid, &ss_load);
		pelk_systemserver_watch(ss_pid, ss_load);
		pelk_select_top(ctx, pelk_fill_pid_list(ctx));
	}

	down(&my_semaphore);
	printk(PELK_MSG_CYCLE_START, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
	if (check_top_malloc(ctx)) {
		md_sleep_statistic();
		pelk_log_top_table(ctx);
	}
	pelk_log_cpu_loads();
	freeze_cpustat_zeb(ctx);
	pelk_log_cpu_split(ctx);
	printk(PELK_MSG_CYCLE_DONE);
	up(&my_semaphore);
}

/* ---- set-up and tear-down ---------------------------------------------------------------- */

/* Any failure leaves the monitor absent and the rest of the module running.
 * Whatever is released here has its handle cleared, so that the exit path
 * never releases it twice. */
void pelk_monitor_init(void)
{
	struct monitor_context *ctx;

	if (!pelk_perf_monitor_wq) {
		pelk_perf_monitor_wq = create_workqueue("pelk_perf_monitor_wq");
		if (!pelk_perf_monitor_wq)
			return;
	}
	printk(PELK_MSG_WQ_CREATED, pelk_perf_monitor_wq);

	ctx = (struct monitor_context *)vmalloc(sizeof(*ctx));
	if (!ctx) {
		flush_workqueue(pelk_perf_monitor_wq);
		destroy_workqueue(pelk_perf_monitor_wq);
		pelk_perf_monitor_wq = NULL;
		return;
	}
	monitor_ctx = ctx;

	ctx->last_runtime = (u64 *)vmalloc(sizeof(u64) * PELK_PID_SLOTS);
	ctx->delta = (u64 *)vmalloc(sizeof(u64) * PELK_PID_SLOTS);
	ctx->pid_list = (s32 *)vmalloc(sizeof(s32) * PELK_PID_SLOTS);
	ctx->tasks = (struct task_struct **)vmalloc(sizeof(struct task_struct *) * PELK_PID_SLOTS);
	if (!check_top_malloc(ctx))
		return;

	memset(ctx->last_runtime, 0, sizeof(u64) * PELK_PID_SLOTS);
	memset(ctx->delta, 0, sizeof(u64) * PELK_PID_SLOTS);
	memset(ctx->pid_list, 0, sizeof(s32) * PELK_PID_SLOTS);
	memset(ctx->tasks, 0, sizeof(struct task_struct *) * PELK_PID_SLOTS);
	memset(ctx->top, 0, sizeof(ctx->top));

	cpumask_clear(&ctx->cpus);
	cpumask_set_cpu(0, &ctx->cpus);
	cpumask_set_cpu(1, &ctx->cpus);
	cpumask_set_cpu(2, &ctx->cpus);
	cpumask_set_cpu(3, &ctx->cpus);

	/* The first cycle's split covers the time since now. */
	get_all_cpustat(&ctx->cpustat);

	INIT_DELAYED_WORK(&ctx->work, pelk_perf_monitor_work_func);
	queue_delayed_work_on(cpumask_first(&ctx->cpus), pelk_perf_monitor_wq, &ctx->work,
			      pelk_period_jiffies());
	monitor_armed = true;
}

/* Stops the cycle (cancelling also defeats its re-arming), then releases the
 * workqueue, the arrays and the context. */
void pelk_monitor_exit(void)
{
	if (monitor_armed) {
		cancel_delayed_work_sync(&monitor_ctx->work);
		monitor_armed = false;
	}
	pelk_free_task_table();
	if (pelk_perf_monitor_wq) {
		destroy_workqueue(pelk_perf_monitor_wq);
		WRITE_ONCE(pelk_perf_monitor_wq, NULL);
	}
	if (monitor_ctx) {
		vfree(monitor_ctx->last_runtime);
		vfree(monitor_ctx->delta);
		vfree(monitor_ctx->pid_list);
		vfree(monitor_ctx->tasks);
		vfree(monitor_ctx);
		monitor_ctx = NULL;
	}
}
