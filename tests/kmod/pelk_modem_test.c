// SPDX-License-Identifier: GPL-2.0
/*
 * pelk_modem_test: test-only stand-in for the modem driver.  At load it
 * hands pelk_perf_util a consistent sleep block (markers and stamps right,
 * md_slp_duration 32768, sleep counters of 1, 2, 3, 4 and 5 seconds' worth);
 * reading /sys/module/pelk_modem_test/parameters/history prints record 0
 * of the exported sleep_history and the marker of the exported copy
 * sum_md_sleep_status.  At unload it hands over NULL first.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/delay.h>

#define MD_SLEEP_MAGIC 0x536C702EU

struct md_sleep_block {
	u32 head_magic;
	u32 head_stamp;
	u8 reserved0[32];
	u64 md_slp_duration;
	u8 reserved1[8];
	u64 sleep_time[5];
	u8 reserved2[408];
	u32 tail_stamp;
	u32 tail_magic;
};

struct sleep_day_record {
	u32 year, month, day, reserved;
	u64 today_time[5];
	u64 base_time[5];
};

extern void odpm_md_sleep_init(void *address);
extern struct sleep_day_record sleep_history[5];
extern struct md_sleep_block sum_md_sleep_status;

static struct md_sleep_block *block;

static int history_get(char *buffer, const struct kernel_param *kp)
{
	const struct sleep_day_record *r = &sleep_history[0];

	return sysfs_emit(buffer, "%04u-%02u-%02u today %llu/%llu/%llu/%llu/%llu base %llu/%llu/%llu/%llu/%llu copy %x\n",
			  r->year, r->month, r->day, r->today_time[0], r->today_time[1],
			  r->today_time[2], r->today_time[3], r->today_time[4], r->base_time[0],
			  r->base_time[1], r->base_time[2], r->base_time[3], r->base_time[4],
			  sum_md_sleep_status.head_magic);
}

static const struct kernel_param_ops history_ops = {
	.get = history_get,
};
module_param_cb(history, &history_ops, NULL, 0444);

static int __init pelk_modem_test_init(void)
{
	int i;

	BUILD_BUG_ON(sizeof(struct md_sleep_block) != 512);
	BUILD_BUG_ON(sizeof(struct sleep_day_record) != 96);
	block = kzalloc(sizeof(*block), GFP_KERNEL);
	if (!block)
		return -ENOMEM;
	block->head_magic = MD_SLEEP_MAGIC;
	block->tail_magic = MD_SLEEP_MAGIC;
	block->head_stamp = 7;
	block->tail_stamp = 7;
	block->md_slp_duration = 32768;
	for (i = 0; i < 5; i++)
		block->sleep_time[i] = (u64)(i + 1) * 1000000;
	odpm_md_sleep_init(block);
	return 0;
}

/* The cycle copies the block without a lock: after the null hand-over, give
 * a copy that may have begun just before it time to finish. */
static void __exit pelk_modem_test_exit(void)
{
	odpm_md_sleep_init(NULL);
	msleep(200);
	kfree(block);
}

module_init(pelk_modem_test_init);
module_exit(pelk_modem_test_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Test-only modem hand-over for pelk_perf_util");
