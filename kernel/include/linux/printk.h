#ifndef _LINUX_PRINTK_H
#define _LINUX_PRINTK_H

#include <linux/types.h>

#define KERN_SOH "\001"
#define KERN_SOH_ASCII '\001'
#define KERN_EMERG KERN_SOH "0"
#define KERN_ALERT KERN_SOH "1"
#define KERN_CRIT KERN_SOH "2"
#define KERN_ERR KERN_SOH "3"
#define KERN_WARNING KERN_SOH "4"
#define KERN_NOTICE KERN_SOH "5"
#define KERN_INFO KERN_SOH "6"
#define KERN_DEBUG KERN_SOH "7"
#define KERN_DEFAULT ""
#define KERN_CONT KERN_SOH "c"

#define LOGLEVEL_DEFAULT (-1)
#define LOGLEVEL_ERR 3
#define LOGLEVEL_WARNING 4
#define LOGLEVEL_INFO 6
/* Level given to a record whose text carries none. */
#define MESSAGE_LOGLEVEL_DEFAULT 4

__BEGIN_DECLS
/* One call is one record of the kernel log.  Leading level prefixes are
 * stripped and the first one decides the level; a trailing newline ends the
 * record and is not part of its text. */
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
__END_DECLS

#define pr_err(fmt, ...) printk(KERN_ERR fmt, ##__VA_ARGS__)
#define pr_warn(fmt, ...) printk(KERN_WARNING fmt, ##__VA_ARGS__)
#define pr_info(fmt, ...) printk(KERN_INFO fmt, ##__VA_ARGS__)

#endif
