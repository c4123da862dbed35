/* The application health watch: a fixed table of watched application names
 * (comm_list, indexed by the resizable hash table ht) and a cycle that, every
 * ten seconds, samples the CPU time of every watched process and reports,
 * once, an application that keeps using CPU while it is not in the
 * foreground. */
#include "perf_log.h"
#include <linux/hash.h>
#include <linux/jhash.h>
#include <linux/jiffies.h>
#include <linux/rcupdate.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>

#include "app_health_names.h"

#define PELK_WATCHED_COUNT ARRAY_SIZE(comm_list)

/* A slot holding more than this is a lifetime, not ten seconds' use. */
#define PELK_HEALTH_DELTA_CAP_NS 20000000000ULL
#define PELK_HEALTH_1MIN_NS 60000000000ULL
#define PELK_HEALTH_5MIN_NS 300000000000ULL
#define PELK_HEALTH_1MIN_PERCENT 6
#define PELK_HEALTH_5MIN_PERCENT 4

/* The report gate, in monotonic seconds. */
#define PELK_HEALTH_QUIET_START 600
#define PELK_HEALTH_WINDOW 86400
#define PELK_HEALTH_WINDOW_REPORTS 3
#define PELK_HEALTH_SPACING 3600

#define PELK_HEALTH_EVENT "0x00501001"
#define PELK_HEALTH_EVENT_VALUE 656

struct watched_name *record;
struct rhashtable ht;
struct hlist_head app_health_ht[1 << PELK_HEALTH_HT_BITS];

static struct health_work_context *health_ctx;

/* ---- the watched-name table ------------------------------------------------------ */

/* Only the characters before the NUL count, so that the padding of a key
 * and of an entry never matters; len (the key length) is not used. */
static u32 my_hashfn(const void *data, u32 len, u32 seed)
{
	(void)len;
	return jhash(data, (u32)strlen((const char *)data), seed);
}

static int my_cmpfn(struct rhashtable_compare_arg *arg, const void *obj)
{
	const struct watched_name *w = (const struct watched_name *)obj;

	return strcmp(w->name, (const char *)arg->key);
}

static const struct rhashtable_params health_comm_table_params = {
	.nelem_hint = 1024,
	.key_len = PELK_WATCHED_KEY_LEN,
	.key_offset = __builtin_offsetof(struct watched_name, name),
	.head_offset = __builtin_offsetof(struct watched_name, node),
	.max_size = 0,
	.min_size = 0,
	.automatic_shrinking = true,
	.hashfn = my_hashfn,
	.obj_hashfn = NULL,
	.obj_cmpfn = my_cmpfn,
};

static_assert(__builtin_offsetof(struct watched_name, node) == 24,
	      "the table link follows the 24 characters of the name");

/* The fast insertion takes no key, so a name listed twice is simply
 * inserted twice; an -EEXIST would mean the same and is passed over. */
static void health_table_fill(void)
{
	size_t i;

	for (i = 0; i < PELK_WATCHED_COUNT; i++) {
		int err;

		strscpy(record[i].name, comm_list[i], sizeof(record[i].name));
		err = rhashtable_insert_fast(&ht, &record[i].node, health_comm_table_params);
		if (err && err != -EEXIST) {
			printk(PELK_MSG_HT_INSERT_FAILED, err);
			return;
		}
	}
}

/* False when there is no table: then there is no cycle either.  record is
 * kept only once ht is set up, so it tells whether ht has to be destroyed
 * (after a failed set-up ht holds nothing the library could take apart). */
static bool health_table_init(void)
{
	record = (struct watched_name *)vzalloc(sizeof(*record) * PELK_WATCHED_COUNT);
	if (!record) {
		printk(PELK_MSG_COMM_LIST_NOMEM);
		return false;
	}
	if (rhashtable_init(&ht, &health_comm_table_params)) {
		printk(PELK_MSG_HT_INIT_FAILED);
		vfree(record);
		record = NULL;
		return false;
	}
	health_table_fill();
	return true;
}

/* Called inside an RCU read-side section. */
static bool health_is_watched(const char *comm)
{
	char key[PELK_WATCHED_KEY_LEN];

	memset(key, 0, sizeof(key));
	strscpy(key, comm, sizeof(key));
	return rhashtable_lookup_fast(&ht, key, health_comm_table_params) != NULL;
}

/* ---- application records ------------------------------------------------------- */

static struct hlist_head *health_bucket(const char *name)
{
	u32 h = jhash(name, (u32)strlen(name), 0);

	return &app_health_ht[hash_32(h, PELK_HEALTH_HT_BITS)];
}

/* Called inside the cycle's RCU section, hence the atomic allocation. */
static struct app_health_record *health_record_get(const char *comm)
{
	struct hlist_head *bucket = health_bucket(comm);
	struct app_health_record *rec;

	hlist_for_each_entry(rec, bucket, node)
		if (!strncmp(rec->name, comm, TASK_COMM_LEN))
			return rec;

	rec = (struct app_health_record *)kzalloc(sizeof(*rec), GFP_ATOMIC);
	if (!rec) {
		printk(PELK_MSG_HEALTH_RECORD_NOMEM);
		return NULL;
	}
	strscpy(rec->name, comm, TASK_COMM_LEN);
	hlist_add_head(&rec->node, bucket);
	return rec;
}

static void health_records_free(void)
{
	struct app_health_record *rec;
	struct hlist_node *n;
	size_t i;

	for (i = 0; i < ARRAY_SIZE(app_health_ht); i++) {
		hlist_for_each_entry_safe(rec, n, &app_health_ht[i], node) {
			hlist_del(&rec->node);
			kfree(rec);
		}
	}
}

/* Foreground or visible (0 to 199) and persistent (-800) processes may use
 * what they like: their history starts again from nothing. */
static bool health_clears_history(short adj)
{
	return adj == -800 || (adj >= 0 && adj <= 199);
}

static void health_clear(struct app_health_record *rec)
{
	memset(rec->slots, 0, sizeof(rec->slots));
	rec->slot_index = 0;
	rec->sum_5min = 0;
	rec->sum_1min = 0;
}

static void health_accumulate(struct app_health_record *rec, u64 delta)
{
	u32 i;

	rec->sum_5min = rec->sum_5min - rec->slots[rec->slot_index] + delta;
	rec->slots[rec->slot_index] = delta;
	rec->slot_index = (rec->slot_index + 1) % PELK_HEALTH_SLOTS;

	/* The slot just written and the five written before it. */
	rec->sum_1min = 0;
	for (i = 1; i <= PELK_HEALTH_1MIN_SLOTS; i++)
		rec->sum_1min += rec->slots[(rec->slot_index + PELK_HEALTH_SLOTS - i) %
					    PELK_HEALTH_SLOTS];
}

/* ---- the report gate ------------------------------------------------------------ */

/* At most one report per application (its record is frozen once reported),
 * three per day window, one per hour, none in the first ten minutes after
 * boot.  Monotonic seconds: time in suspend counts towards none of these. */
static void zeb_trigger(struct app_health_record *rec, pid_t pid)
{
	static u64 first_trigger_time;
	static u8 trigger_count;
	static u64 trigger_time_flag;
	u64 now = (u64)ns_to_timespec64(ktime_get()).tv_sec;

	if (now < PELK_HEALTH_QUIET_START)
		return;
	if (now - first_trigger_time >= PELK_HEALTH_WINDOW)
		trigger_count = 0;
	else if (trigger_count >= PELK_HEALTH_WINDOW_REPORTS)
		return;
	if (trigger_time_flag && now - trigger_time_flag < PELK_HEALTH_SPACING)
		return;
	if (!READ_ONCE(is_HEALTH_enable))
		return;

	/* Its result changes nothing: a report is counted once it is made. */
	zebk_caller_api(PELK_HEALTH_EVENT, PELK_HEALTH_EVENT_VALUE, pid, rec->name);
	rec->reported = true;
	if (!trigger_count)
		first_trigger_time = now;
	trigger_count++;
	trigger_time_flag = now;
}

/* ---- the cycle ------------------------------------------------------------------ */

/* One process of the walk, inside the cycle's RCU section. */
static void health_sample(struct task_struct *p)
{
	short adj = task_oom_score_adj(p);
	const char *comm = task_comm(p);
	struct app_health_record *rec;
	u64 ut, st, cumulative, delta, pct_1min, pct_5min;

	if (adj == -1000 || (task_flags(p) & PF_KTHREAD))
		return;
	if (!health_is_watched(comm))
		return;
	rec = health_record_get(comm);
	if (!rec || rec->reported)
		return;

	thread_group_cputime_adjusted(p, &ut, &st);
	cumulative = ut + st;
	/* Below the last sample: a new process under an old name. */
	delta = cumulative < rec->last_runtime ? cumulative : cumulative - rec->last_runtime;
	if (delta > PELK_HEALTH_DELTA_CAP_NS)
		delta = 0;

	if (health_clears_history(adj))
		health_clear(rec);
	else
		health_accumulate(rec, delta);

	pct_1min = rec->sum_1min * 100 / PELK_HEALTH_1MIN_NS;
	pct_5min = rec->sum_5min * 100 / PELK_HEALTH_5MIN_NS;
	rec->last_runtime = cumulative;
	if ((s32)pct_1min < PELK_HEALTH_1MIN_PERCENT || (s32)pct_5min < PELK_HEALTH_5MIN_PERCENT)
		return;

	printk(PELK_MSG_HEALTH_LINE, comm, (s32)pct_1min, (s32)pct_5min);
	zeb_trigger(rec, task_pid_nr(p));
}

/* Re-armed last, so that the pause runs from the end of one cycle to the
 * start of the next. */
static void app_heath_work_func(struct work_struct *work)
{
	struct health_work_context *ctx =
		container_of(to_delayed_work(work), struct health_work_context, work);
	struct task_struct *p;

	rcu_read_lock();
	for_each_process(p)
		health_sample(p);
	rcu_read_unlock();

	queue_delayed_work_on(cpumask_first(&ctx->cpus), ctx->wq, &ctx->work, ctx->delay);
}

/* ---- set-up and tear-down ---------------------------------------------------------- */

static void health_cycle_init(void)
{
	struct health_work_context *ctx;
	size_t i;

	for (i = 0; i < ARRAY_SIZE(app_health_ht); i++)
		INIT_HLIST_HEAD(&app_health_ht[i]);

	ctx = (struct health_work_context *)kzalloc(sizeof(*ctx), GFP_ATOMIC);
	if (!ctx) {
		printk(PELK_MSG_HEALTH_CTX_NOMEM);
		return;
	}
	/* Ten seconds whatever the tick rate (2500 jiffies at 250 Hz): the one-
	 * and five-minute windows are counted in cycles. */
	ctx->delay = msecs_to_jiffies(PELK_HEALTH_PERIOD_MS);
	ctx->wq = alloc_workqueue("app_health_info", WQ_UNBOUND, 0);
	if (!ctx->wq) {
		printk(PELK_MSG_HEALTH_WQ_FAILED);
		kfree(ctx);
		return;
	}
	cpumask_clear(&ctx->cpus);
	cpumask_set_cpu(0, &ctx->cpus);
	cpumask_set_cpu(1, &ctx->cpus);
	cpumask_set_cpu(2, &ctx->cpus);
	cpumask_set_cpu(3, &ctx->cpus);
	INIT_DELAYED_WORK(&ctx->work, app_heath_work_func);
	health_ctx = ctx;
	queue_delayed_work_on(cpumask_first(&ctx->cpus), ctx->wq, &ctx->work, ctx->delay);
}

/* Builds the table, then starts the cycle if there is a table.  Nothing
 * here makes the load fail. */
void pelk_health_init(void)
{
	printk(PELK_MSG_HEALTH_INIT);
	if (health_table_init())
		health_cycle_init();
}

/* The cycle goes first (cancelling also defeats its re-arming), since it
 * reads the table and the records; then the records, the table and the
 * entries it indexed. */
void pelk_health_exit(void)
{
	if (health_ctx) {
		cancel_delayed_work_sync(&health_ctx->work);
		flush_workqueue(health_ctx->wq);
		destroy_workqueue(health_ctx->wq);
		kfree(health_ctx);
		health_ctx = NULL;
	}
	health_records_free();
	if (record) {
		rhashtable_destroy(&ht);
		vfree(record);
		record = NULL;
	}
}
