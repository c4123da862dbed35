// SPDX-License-Identifier: GPL-2.0
/*
 * ferrow_switch: the feature-switch service that pelk_perf_util queries and
 * listens to.  A small stand-in for the phone platform's own service: it
 * knows the two features the module uses, each switched from user space
 * through a parameter file,
 *
 *   /sys/module/ferrow_switch/parameters/health   feature 901060000029
 *   /sys/module/ferrow_switch/parameters/zeb      feature 541860000033
 *
 * and every write calls the switch-change chain with the feature id as the
 * action.  The chain is a blocking one: notifiers run in the writer's
 * process context, one change at a time.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/kernel.h>
#include <linux/notifier.h>

#define FERROW_HEALTH_FEATURE_ID 901060000029ULL
#define FERROW_ZEB_FEATURE_ID 541860000033ULL

static BLOCKING_NOTIFIER_HEAD(ferrow_chain);
static bool ferrow_health;
static bool ferrow_zeb;

/* 1 when the feature is enabled, 0 when it is disabled or unknown. */
int is_tid_enable(unsigned long long feature_id)
{
	if (feature_id == FERROW_HEALTH_FEATURE_ID)
		return READ_ONCE(ferrow_health) ? 1 : 0;
	if (feature_id == FERROW_ZEB_FEATURE_ID)
		return READ_ONCE(ferrow_zeb) ? 1 : 0;
	return 0;
}
EXPORT_SYMBOL_GPL(is_tid_enable);

int register_ferrow_notifier(struct notifier_block *nb)
{
	return blocking_notifier_chain_register(&ferrow_chain, nb);
}
EXPORT_SYMBOL_GPL(register_ferrow_notifier);

int unregister_ferrow_notifier(struct notifier_block *nb)
{
	return blocking_notifier_chain_unregister(&ferrow_chain, nb);
}
EXPORT_SYMBOL_GPL(unregister_ferrow_notifier);

static int ferrow_switch_set(const char *val, const struct kernel_param *kp)
{
	int ret = param_set_bool(val, kp);

	if (ret)
		return ret;
	pr_info("ferrow_switch: %s is %s\n", kp->name, *(bool *)kp->arg ? "on" : "off");
	blocking_notifier_call_chain(&ferrow_chain,
				     kp->arg == &ferrow_health ? FERROW_HEALTH_FEATURE_ID :
								 FERROW_ZEB_FEATURE_ID,
				     NULL);
	return 0;
}

static const struct kernel_param_ops ferrow_switch_ops = {
	.set = ferrow_switch_set,
	.get = param_get_bool,
};

module_param_cb(health, &ferrow_switch_ops, &ferrow_health, 0644);
MODULE_PARM_DESC(health, "Feature 901060000029 (application health reports)");
module_param_cb(zeb, &ferrow_switch_ops, &ferrow_zeb, 0644);
MODULE_PARM_DESC(zeb, "Feature 541860000033 (sustained-overload reports)");

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Feature-switch service for pelk_perf_util");
