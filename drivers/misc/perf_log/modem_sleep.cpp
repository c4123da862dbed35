/* Modem sleep statistics.  The modem driver hands over the address of the
 * sleep block that the modem shares with the kernel; from then on every
 * performance cycle copies the block into sum_md_sleep_status, checks its
 * markers, logs the modem's sleep totals and keeps five days of sleep time
 * per radio technology in sleep_history.  Other modules read both arrays
 * without a lock: they may see one in the middle of an update. */
#include "perf_log.h"

/* Where the modem driver's call is logged from, as its callers know it. */
#define MD_INIT_LINE 283

/* Written by the modem driver, at any time, with plain stores; read by the
 * cycle.  md_init_success never goes back to 0. */
static void *md_share_mem;
static int md_init_success;

struct md_sleep_block sum_md_sleep_status;
struct md_sleep_history sleep_history;

void odpm_md_sleep_init(void *address)
{
	WRITE_ONCE(md_share_mem, address);
	if (address)
		WRITE_ONCE(md_init_success, 1);
	else
		printk(MD_MSG_NO_SHARE_MEM, __func__, MD_INIT_LINE);
}
EXPORT_SYMBOL_GPL(odpm_md_sleep_init);
EXPORT_SYMBOL_GPL(sum_md_sleep_status);
EXPORT_SYMBOL_GPL(sleep_history);
