/* Its init fails with the errno given by err (default -ENODEV; a positive
 * value is returned as it is).  With leak=1 it leaves an allocation behind. */
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/printk.h>
#include <linux/slab.h>

static int err = -ENODEV;
static int leak;
module_param(err, int, 0444);
module_param(leak, int, 0444);

static int __init test_initfail_init(void)
{
	void *p = kmalloc(100, GFP_KERNEL);

	printk(KERN_ERR "test_initfail: failing with %d\n", err);
	if (!leak)
		kfree(p);
	return err;
}

static void __exit test_initfail_exit(void)
{
}

module_init(test_initfail_init);
module_exit(test_initfail_exit);
MODULE_LICENSE("GPL");
