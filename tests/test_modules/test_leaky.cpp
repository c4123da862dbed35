/* A module with one of everything: memory, a workqueue with a self-arming
 * work, a proc file, a misc device with a uevent and a switch notifier.
 *
 * leave (bit mask) makes exit leave things behind: 1 memory, 2 the pending
 * work and its workqueue, 4 the workqueue (work cancelled), 8 the proc
 * entries, 16 the misc device, 32 the notifier.
 * mode picks what the work does besides counting its runs: 0 re-arm with
 * period jiffies, 1 return inside an RCU section, 2 return holding the
 * semaphore, 3 re-arm with delay 0, 4 allocate with GFP_KERNEL inside an
 * RCU section. */
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/kobject.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/notifier.h>
#include <linux/printk.h>
#include <linux/proc_fs.h>
#include <linux/rcupdate.h>
#include <linux/semaphore.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/workqueue.h>

extern "C" int register_ferrow_notifier(struct notifier_block *nb);
extern "C" int unregister_ferrow_notifier(struct notifier_block *nb);

static int leave;
static int mode;
static int period = 25;
static int runs;
static int notified;
module_param(leave, int, 0444);
module_param(mode, int, 0444);
module_param(period, int, 0644);
module_param(runs, int, 0444);
module_param(notified, int, 0444);

static char *buf;
static struct workqueue_struct *wq;
static struct delayed_work dw;
static struct semaphore sem;
static struct proc_dir_entry *dir;
static int misc_ok;

static void leaky_work_func(struct work_struct *work)
{
	(void)work;
	runs++;
	printk(KERN_INFO "test_leaky: run %d\n", runs);
	switch (mode) {
	case 1:
		rcu_read_lock();
		return;
	case 2:
		down(&sem);
		return;
	case 3:
		queue_delayed_work(wq, &dw, 0);
		return;
	case 4: {
		rcu_read_lock();
		void *p = kmalloc(16, GFP_KERNEL);
		rcu_read_unlock();
		kfree(p);
		break;
	}
	default:
		break;
	}
	queue_delayed_work(wq, &dw, (unsigned long)period);
}

static int leaky_show(struct seq_file *m, void *v)
{
	(void)v;
	seq_printf(m, "runs=%d notified=%d data=%s\n", runs, notified, (const char *)seq_file_private(m));
	return 0;
}

static int leaky_open(struct inode *inode, struct file *file)
{
	return single_open(file, leaky_show, PDE_DATA(inode));
}

static const struct proc_ops leaky_ops = {
	0, leaky_open, seq_read, NULL, NULL, seq_lseek, single_release, NULL, NULL, NULL, NULL, NULL,
};

static struct miscdevice leaky_dev = { MISC_DYNAMIC_MINOR, "test_leaky_dev", NULL, NULL, NULL, 0, {} };

static int leaky_notify(struct notifier_block *nb, unsigned long action, void *data)
{
	(void)nb;
	(void)data;
	notified += (int)action + 1;
	return NOTIFY_OK;
}

static struct notifier_block leaky_nb = { leaky_notify, NULL, 0 };

static int __init leaky_init(void)
{
	char env0[] = "LEAKY=1";
	char *envp[] = { env0, NULL };

	sema_init(&sem, 1);
	buf = (char *)kmalloc(64, GFP_KERNEL);
	if (buf)
		strscpy(buf, "hello", 64);
	wq = alloc_workqueue("test_leaky_wq%d", WQ_UNBOUND, 1, 7);
	INIT_DELAYED_WORK(&dw, leaky_work_func);
	if (wq)
		queue_delayed_work(wq, &dw, (unsigned long)period);
	dir = proc_mkdir("test_leaky", NULL);
	proc_create_data("state", 0444, dir, &leaky_ops, buf);
	misc_ok = misc_register(&leaky_dev) == 0;
	if (misc_ok)
		kobject_uevent_env(device_kobject(leaky_dev.this_device), KOBJ_CHANGE, envp);
	register_ferrow_notifier(&leaky_nb);
	return 0;
}

static void __exit leaky_exit(void)
{
	if (!(leave & 32))
		unregister_ferrow_notifier(&leaky_nb);
	if (misc_ok && !(leave & 16))
		misc_deregister(&leaky_dev);
	if (!(leave & 8))
		proc_remove(dir);
	if (wq && !(leave & 2)) {
		cancel_delayed_work_sync(&dw);
		if (!(leave & 4))
			destroy_workqueue(wq);
	}
	if (!(leave & 1))
		kfree(buf);
}

module_init(leaky_init);
module_exit(leaky_exit);
MODULE_LICENSE("GPL");
