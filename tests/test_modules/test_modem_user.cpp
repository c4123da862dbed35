/* A module on the modem's side, as another kernel module would be: it
 * resolves pelk_perf_util's odpm_md_sleep_init, sum_md_sleep_status and
 * sleep_history with symbol_get, owns a 512-byte sleep block, and offers the
 * tests three hooks: change bytes of its block, hand it over (or a null
 * address), and copy out the two arrays as it reads them.  It knows the
 * arrays only as bytes of the agreed sizes.  Built twice: test_modem_user
 * (licence "GPL") and test_modem_plain ("Proprietary"), which may not
 * resolve GPL-only exports and so fails to load with -ENOENT. */
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/printk.h>
#include <linux/string.h>
#include <linux/types.h>

#define MD_BLOCK_SIZE 512
#define MD_HISTORY_SIZE 480

/* The exporter's symbols as this module sees them. */
extern "C" void odpm_md_sleep_init(void *address);
extern "C" u8 sum_md_sleep_status[MD_BLOCK_SIZE];
extern "C" u8 sleep_history[MD_HISTORY_SIZE];

static void (*md_init)(void *);
static u8 (*md_status)[MD_BLOCK_SIZE];
static u8 (*md_history)[MD_HISTORY_SIZE];

static u8 md_block[MD_BLOCK_SIZE] __attribute__((aligned(8)));

extern "C" int test_modem_write(unsigned int offset, const void *bytes, unsigned int len)
{
	if (offset > MD_BLOCK_SIZE || len > MD_BLOCK_SIZE - offset)
		return -EINVAL;
	memcpy(md_block + offset, bytes, len);
	return 0;
}

extern "C" void test_modem_hand_over(int null_address)
{
	md_init(null_address ? NULL : md_block);
}

extern "C" void test_modem_read(void *status, void *history)
{
	memcpy(status, *md_status, MD_BLOCK_SIZE);
	memcpy(history, *md_history, MD_HISTORY_SIZE);
}
EXPORT_SYMBOL_GPL(test_modem_write);
EXPORT_SYMBOL_GPL(test_modem_hand_over);
EXPORT_SYMBOL_GPL(test_modem_read);

static void put_all(void)
{
	if (md_init)
		symbol_put(odpm_md_sleep_init);
	if (md_status)
		symbol_put(sum_md_sleep_status);
	if (md_history)
		symbol_put(sleep_history);
}

static int __init modem_user_init(void)
{
	md_init = symbol_get(odpm_md_sleep_init);
	md_status = symbol_get(sum_md_sleep_status);
	md_history = symbol_get(sleep_history);
	if (!md_init || !md_status || !md_history) {
		printk(KERN_INFO USER_NAME ": pelk_perf_util symbols not found\n");
		put_all();
		return -ENOENT;
	}
	printk(KERN_INFO USER_NAME ": up\n");
	return 0;
}

static void __exit modem_user_exit(void)
{
	put_all();
}

module_init(modem_user_init);
module_exit(modem_user_exit);
MODULE_LICENSE(USER_LICENSE);
MODULE_NAME(USER_NAME);
