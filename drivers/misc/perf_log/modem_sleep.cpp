/* Modem sleep statistics.  The modem driver hands over the address of the
 * sleep block that the modem shares with the kernel; from then on every
 * performance cycle copies the block into sum_md_sleep_status, checks its
 * markers, logs the modem's sleep totals and keeps five days of sleep time
 * per radio technology in sleep_history.  Other modules read both arrays
 * without a lock: they may see one in the middle of an update. */
#include "perf_log.h"
#include <asm/barrier.h>

/* Where the modem driver's call is logged from, as its callers know it. */
#define MD_INIT_LINE 283

/* Written by the modem driver, at any time; read by the cycle without a
 * lock.  md_init_success never goes back to 0.  It is published with release
 * order after the address (and so after the modem's block was filled), so a
 * cycle that sees it set also sees the address of that hand-over or a later
 * one, never the null address from before the first. */
static void *md_share_mem;
static int md_init_success;

struct md_sleep_block sum_md_sleep_status;
struct md_sleep_history sleep_history;

void odpm_md_sleep_init(void *address)
{
	WRITE_ONCE(md_share_mem, address);
	if (address)
		smp_store_release(&md_init_success, 1);
	else
		printk(MD_MSG_NO_SHARE_MEM, __func__, MD_INIT_LINE);
}
EXPORT_SYMBOL_GPL(odpm_md_sleep_init);
EXPORT_SYMBOL_GPL(sum_md_sleep_status);
EXPORT_SYMBOL_GPL(sleep_history);

/* The copy is not synchronised with the modem: the markers at both ends
 * and the two stamps are the only consistency test there is. */
static bool md_sleep_block_valid(const struct md_sleep_block *b)
{
	return b->head_magic == MD_SLEEP_MAGIC && b->tail_magic == MD_SLEEP_MAGIC &&
	       b->head_stamp == b->tail_stamp;
}

static bool md_sleep_same_day(const struct sleep_day_record *r, const struct tm *local)
{
	return r->year == (u32)(local->tm_year + 1900) && r->month == (u32)(local->tm_mon + 1) &&
	       r->day == (u32)local->tm_mday;
}

/* One record per date seen, not per calendar day: however many days have
 * passed (or if the date went back), the records move by one place and the
 * oldest is dropped.  The reserved words move with their records. */
static void md_sleep_new_day(const struct tm *local, const u64 sleep_time[MD_SLEEP_RATS])
{
	struct sleep_day_record *today = &sleep_history.day[0];

	memmove(&sleep_history.day[1], &sleep_history.day[0],
		sizeof(struct sleep_day_record) * (MD_SLEEP_DAYS - 1));
	today->year = (u32)(local->tm_year + 1900);
	today->month = (u32)(local->tm_mon + 1);
	today->day = (u32)local->tm_mday;
	memcpy(today->base_time, sleep_time, sizeof(today->base_time));
}

/* today_time is the growth of each counter since the day's first valid
 * cycle, that is sleep_time - base_time, as long as the counter only grows.
 * A counter below its value at the previous valid cycle has started again
 * (from zero) since: what the day had counted is kept, the new count is
 * added to it, and base_time becomes 0, the value the counter started again
 * from.  From then on today_time is what was counted before the restart
 * plus sleep_time - base_time; it never wraps.  Sleep between the previous
 * valid cycle and the restart is not known and not counted. */
static void md_sleep_count_today(const u64 sleep_time[MD_SLEEP_RATS], bool new_day)
{
	static u64 last_sleep_time[MD_SLEEP_RATS];
	struct sleep_day_record *today = &sleep_history.day[0];
	int i;

	for (i = 0; i < MD_SLEEP_RATS; i++) {
		if (new_day) {
			today->today_time[i] = 0;
		} else if (sleep_time[i] >= last_sleep_time[i]) {
			today->today_time[i] += sleep_time[i] - last_sleep_time[i];
		} else {
			today->today_time[i] += sleep_time[i];
			today->base_time[i] = 0;
		}
		last_sleep_time[i] = sleep_time[i];
	}
}

/* The modem's cumulative totals in whole seconds, not the day's, with the
 * UTC time of the cycle and a trailing blank; each step is bounded by the
 * space left. */
static void md_sleep_log_sum(const u64 sleep_time[MD_SLEEP_RATS], const struct tm *utc)
{
	char line[256];
	int len;

	len = scnprintf(line, sizeof(line), MD_MSG_SUM, sleep_time[0] / USEC_PER_SEC,
			sleep_time[1] / USEC_PER_SEC, sleep_time[2] / USEC_PER_SEC,
			sleep_time[3] / USEC_PER_SEC, sleep_time[4] / USEC_PER_SEC);
	scnprintf(line + len, sizeof(line) - len, MD_MSG_UTC " ", (int)(utc->tm_year + 1900),
		  utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec);
	printk(MD_MSG_SUM_LINE, line);
}

/* The per-cycle step, run by the performance cycle with my_semaphore held,
 * right after the start line.  After a null hand-over it works on the last
 * copy it took; an invalid copy stays in sum_md_sleep_status but leaves the
 * history alone. */
void md_sleep_statistic(void)
{
	struct md_sleep_block *copy = &sum_md_sleep_status;
	const void *share;
	struct tm utc, local;
	time64_t now;
	bool new_day;

	if (!smp_load_acquire(&md_init_success))
		return;
	share = READ_ONCE(md_share_mem);
	if (share)
		memcpy(copy, share, sizeof(*copy));
	else
		printk(MD_MSG_SHARE_MEM_NULL);

	now = ktime_get_real_seconds();
	time64_to_tm(now, 0, &utc);
	time64_to_tm(now - (time64_t)sys_tz.tz_minuteswest * 60, 0, &local);

	if (!md_sleep_block_valid(copy)) {
		printk(MD_MSG_NOT_VALID);
		return;
	}
	printk(MD_MSG_DURATION, copy->md_slp_duration);

	new_day = !md_sleep_same_day(&sleep_history.day[0], &local);
	if (new_day)
		md_sleep_new_day(&local, copy->sleep_time);
	md_sleep_count_today(copy->sleep_time, new_day);
	md_sleep_log_sum(copy->sleep_time, &utc);
}
