/* Integer parameters: value (0644), fixed (0444), and strict (0644), whose
 * set refuses negative numbers. */
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/printk.h>

static int value = 5;
static int fixed = 9;
static int strict = 1;
module_param(value, int, 0644);
module_param(fixed, int, 0444);

static int strict_set(const char *val, const struct kernel_param *kp)
{
	int v;
	int ret = kstrtoint(val, 0, &v);

	if (ret)
		return ret;
	if (v < 0)
		return -EINVAL;
	*(int *)kp->arg = v;
	return 0;
}

static const struct kernel_param_ops strict_ops = { 0, strict_set, param_get_int, NULL };
module_param_cb(strict, &strict_ops, &strict, 0644);

static int __init test_param_init(void)
{
	printk(KERN_INFO "test_param: value=%d fixed=%d strict=%d\n", value, fixed, strict);
	return 0;
}

static void __exit test_param_exit(void)
{
	printk(KERN_INFO "test_param: exit value=%d\n", value);
}

module_init(test_param_init);
module_exit(test_param_exit);
MODULE_LICENSE("GPL");
MODULE_NAME("test_param");
