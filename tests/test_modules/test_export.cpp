/* Exports one GPL-only and one plain function. */
#include <linux/module.h>
#include <linux/printk.h>

#include "test_export.h"

extern "C" int test_gpl_answer(void) { return 42; }
extern "C" int test_plain_answer(void) { return 7; }
EXPORT_SYMBOL_GPL(test_gpl_answer);
EXPORT_SYMBOL(test_plain_answer);

static int __init test_export_init(void)
{
	printk(KERN_INFO "test_export: up\n");
	return 0;
}

static void __exit test_export_exit(void)
{
	printk(KERN_INFO "test_export: down\n");
}

module_init(test_export_init);
module_exit(test_export_exit);
MODULE_LICENSE("GPL");
