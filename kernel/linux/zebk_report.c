// SPDX-License-Identifier: GPL-2.0
/*
 * zebk_report: the event-report service that pelk_perf_util reports abnormal
 * conditions to.  A small stand-in for the phone platform's own service:
 * each report becomes one kernel log line.  Callers report from inside RCU
 * read-side sections, so nothing here sleeps: printk only.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/printk.h>

int zebk_caller_api(const char *event_code, int value, int pid, const char *text)
{
	pr_info("zebk_report: event %s value %d pid %d text \"%s\"\n",
		event_code ? event_code : "(null)", value, pid, text ? text : "(null)");
	return 0;
}
EXPORT_SYMBOL_GPL(zebk_caller_api);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Event-report service for pelk_perf_util");
