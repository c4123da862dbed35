/* User-space outputs: /proc/cpumonitor/cpu_monitor, the last CPU time split
 * and the last five rows of per-CPU loads as one line of numbers; and the
 * misc device pelk_systemserver_loading, whose only use is to carry the
 * uevent that tells user space system_server is overloaded. */
#include "perf_log.h"
#include <asm/barrier.h>

static struct proc_dir_entry *cpu_monitor_entry;

/* Values are read without a lock while the cycle may be writing them: a
 * read can mix two consecutive cycles. */
static int proc_cpu_monitor_show(struct seq_file *m, void *v)
{
	int row;

	(void)v;
	seq_printf(m, PELK_PROC_SPLIT, (int)READ_ONCE(g_user_time), (int)READ_ONCE(g_system_time),
		   (int)READ_ONCE(g_io_time), (int)READ_ONCE(g_irq_time),
		   (int)READ_ONCE(g_idle_time));
	for (row = 0; row < PELK_LOAD_ROWS; row++) {
		u64 l[PELK_LOAD_CPUS];
		int cpu;

		for (cpu = 0; cpu < PELK_LOAD_CPUS; cpu++)
			l[cpu] = READ_ONCE(g_load[row][cpu]);
		seq_printf(m, PELK_PROC_LOAD_ROW, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7]);
	}
	return 0;
}

static int cpu_monitor_open(struct inode *inode, struct file *file)
{
	return single_open(file, proc_cpu_monitor_show, PDE_DATA(inode));
}

static const struct proc_ops cpu_monitor_fops = {
	.proc_flags = 0,
	.proc_open = cpu_monitor_open,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = single_release,
};

/* Neither result is tested: without the directory the file lands at the
 * top of /proc, and without the file the module runs on. */
void pelk_cpu_monitor_proc_init(void)
{
	cpumonitor_dir = proc_mkdir("cpumonitor", NULL);
	cpu_monitor_entry = proc_create("cpu_monitor", 0xFFF, cpumonitor_dir, &cpu_monitor_fops);
}

void pelk_cpu_monitor_proc_exit(void)
{
	proc_remove(cpu_monitor_entry);
	cpu_monitor_entry = NULL;
	proc_remove(cpumonitor_dir);
	cpumonitor_dir = NULL;
}

/* ---- the system_server loading device ------------------------------------------- */

/* Nobody opens the device: it has no file operations of its own. */
static struct miscdevice systemserver_object;
/* Whether systemserver_object is in the misc class.  Registration may have
 * failed (or been undone when its announcement failed): the overload events
 * and the exit routine must then leave the device alone.  Published with
 * release order: with a period of 0 the first cycle may run on another CPU
 * while the start routine is still registering. */
static bool systemserver_registered;

static char systemserver_loading_env[] = PELK_SYSTEMSERVER_LOADING_ENV;

static struct kobject *systemserver_kobj(void)
{
	return device_kobject(systemserver_object.this_device);
}

int pelk_systemserver_uevent_init(void)
{
	int ret;

	systemserver_object.minor = MISC_DYNAMIC_MINOR;
	systemserver_object.name = PELK_SYSTEMSERVER_DEVICE;
	ret = misc_register(&systemserver_object);
	if (ret) {
		printk(PELK_MSG_MISC_REGISTER_FAILED);
		return ret;
	}
	ret = kobject_uevent(systemserver_kobj(), KOBJ_ADD);
	if (ret) {
		misc_deregister(&systemserver_object);
		printk(PELK_MSG_UEVENT_ADD_FAILED);
		return ret;
	}
	smp_store_release(&systemserver_registered, true);
	return 0;
}

/* Called by the performance cycle, every cycle whose system_server load is
 * 150 or more.  Without a device there is nothing to send on: the event is
 * dropped quietly (the failed registration was logged at load). */
int pelk_systemserver_uevent(void)
{
	char *envp[] = { systemserver_loading_env, NULL };

	if (!smp_load_acquire(&systemserver_registered))
		return -ENODEV;
	if (kobject_uevent_env(systemserver_kobj(), KOBJ_CHANGE, envp)) {
		printk(PELK_MSG_UEVENT_ENV_FAILED);
		return -EINVAL;
	}
	return 0;
}

/* Called after the performance cycle has stopped, so no event can race the
 * removal. */
void pelk_systemserver_uevent_exit(void)
{
	if (!systemserver_registered)
		return;
	kobject_uevent(systemserver_kobj(), KOBJ_REMOVE);
	misc_deregister(&systemserver_object);
	systemserver_registered = false;
}
