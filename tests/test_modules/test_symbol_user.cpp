/* Resolves test_export's symbols with symbol_get; built twice, as
 * test_gpl_user (licence "GPL v2") and test_plain_user ("Proprietary").  The
 * parameters show what it got: the answer, or -1 when the symbol was refused.
 * With keep=1 it does not put the symbols back at exit. */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/printk.h>

#include "test_export.h"

static int gpl_answer = -1;
static int plain_answer = -1;
static int keep;
module_param(gpl_answer, int, 0444);
module_param(plain_answer, int, 0444);
module_param(keep, int, 0644);

static int (*gpl_fn)(void);
static int (*plain_fn)(void);

static int __init user_init(void)
{
	gpl_fn = symbol_get(test_gpl_answer);
	plain_fn = symbol_get(test_plain_answer);
	if (gpl_fn)
		gpl_answer = gpl_fn();
	if (plain_fn)
		plain_answer = plain_fn();
	printk(KERN_INFO USER_NAME ": gpl=%d plain=%d\n", gpl_answer, plain_answer);
	return 0;
}

static void __exit user_exit(void)
{
	if (keep)
		return;
	if (gpl_fn)
		symbol_put(test_gpl_answer);
	if (plain_fn)
		symbol_put(test_plain_answer);
}

module_init(user_init);
module_exit(user_exit);
MODULE_LICENSE(USER_LICENSE);
