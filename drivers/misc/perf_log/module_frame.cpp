/* Module frame: start and exit, the kmonitor_delay parameter, and the two
 * feature switches that follow the switch service's notifications. */
#include "perf_log.h"

int pelk_util_delay_time_ms = 10000;
struct semaphore my_semaphore;
bool is_HEALTH_enable;
bool is_ZEB_enable;
struct proc_dir_entry *cpumonitor_dir;

/* ---- kmonitor_delay ------------------------------------------------------------ */

/* Set once the start routine runs.  The loader parses the insmod parameters
 * before it calls the start routine, so until then a set comes from the
 * command line, and after it from a write to /sys/module/.../kmonitor_delay. */
static bool pelk_started;
/* A negative period given at insmod, refused and reported by the start
 * routine; 0 when there was none. */
static int kmonitor_delay_refused_value;

/* A negative period has no meaning (and would turn into an enormous delay
 * once converted to jiffies): a write refuses it and keeps the old value.
 * At insmod the same value is refused too, but without failing the load:
 * phones load the module from init scripts that never look at the result. */
static int kmonitor_delay_set(const char *val, const struct kernel_param *kp)
{
	int delay;
	int ret = kstrtoint(val, 0, &delay);

	if (ret)
		return ret;
	if (delay < 0) {
		if (READ_ONCE(pelk_started))
			return -EINVAL;
		kmonitor_delay_refused_value = delay;
		return 0;
	}
	WRITE_ONCE(*(int *)kp->arg, delay);
	return 0;
}

static const struct kernel_param_ops kmonitor_delay_ops = {
	.flags = 0,
	.set = kmonitor_delay_set,
	.get = param_get_int,
	.free = NULL,
};

module_param_cb(kmonitor_delay, &kmonitor_delay_ops, &pelk_util_delay_time_ms, 0644);

/* ---- feature switches ---------------------------------------------------------- */

/* The notifier's action and data say nothing we need: ask the service again. */
static int health_state_change(struct notifier_block *nb, unsigned long action, void *data)
{
	bool on;

	(void)nb;
	(void)action;
	(void)data;
	/* The line tells what this notification set, even if another one
	 * changes the flag meanwhile. */
	on = is_tid_enable(PELK_HEALTH_FEATURE_ID) == 1;
	WRITE_ONCE(is_HEALTH_enable, on);
	if (on)
		printk(PELK_MSG_HEALTH_TRUE);
	else
		printk(PELK_MSG_HEALTH_FALSE);
	return 0;
}

static int freeze_tid_state_change(struct notifier_block *nb, unsigned long action, void *data)
{
	(void)nb;
	(void)action;
	(void)data;
	WRITE_ONCE(is_ZEB_enable, is_tid_enable(PELK_ZEB_FEATURE_ID) == 1);
	return 0;
}

static struct notifier_block health_pelkcare_notifier = {
	.notifier_call = health_state_change,
	.next = NULL,
	.priority = 0,
};

static struct notifier_block freeze_tid_notifier = {
	.notifier_call = freeze_tid_state_change,
	.next = NULL,
	.priority = 0,
};

/* The first answer is asked for but not used: a flag stays false until the
 * service first notifies, so a switch is only trusted once it has spoken. */
static void health_pelkcare_init(void)
{
	is_tid_enable(PELK_HEALTH_FEATURE_ID);
	register_ferrow_notifier(&health_pelkcare_notifier);
}

static void cloud_engine_init(void)
{
	is_tid_enable(PELK_ZEB_FEATURE_ID);
	register_ferrow_notifier(&freeze_tid_notifier);
}

/* ---- start and exit -------------------------------------------------------------- */

/* Never fails: each part logs its own failure and is then simply absent. */
static int __init pelk_cpu_monitor_init(void)
{
	printk(PELK_MSG_INIT);
	WRITE_ONCE(pelk_started, true);
	if (kmonitor_delay_refused_value < 0)
		printk(PELK_MSG_DELAY_REFUSED, kmonitor_delay_refused_value,
		       READ_ONCE(pelk_util_delay_time_ms));
	sema_init(&my_semaphore, 1);
	health_pelkcare_init();
	pelk_health_init();
	pelk_cpu_monitor_proc_init();
	pelk_monitor_init();
	cloud_engine_init();
	pelk_systemserver_uevent_init();
	return 0;
}

/* Everything goes before the code does: the callbacks first, so that no
 * switch change arrives during the teardown, then the health watch (its
 * cycle, records and watched-name table), the proc file, the performance
 * cycle with its workqueue and memory, and only then the loading device,
 * which the cycle sends on. */
static void __exit pelk_cpu_monitor_exit(void)
{
	printk(PELK_MSG_EXIT);
	unregister_ferrow_notifier(&freeze_tid_notifier);
	unregister_ferrow_notifier(&health_pelkcare_notifier);
	pelk_health_exit();
	pelk_cpu_monitor_proc_exit();
	pelk_monitor_exit();
	pelk_systemserver_uevent_exit();
}

module_init(pelk_cpu_monitor_init);
module_exit(pelk_cpu_monitor_exit);

MODULE_LICENSE("GPL");
MODULE_NAME("pelk_perf_util");
MODULE_DESCRIPTION("CPU performance monitor");
