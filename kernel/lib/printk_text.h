/* What a printk call leaves in the log, shared by every backend's printk:
 * the text formatted as the kernel formats it, its level and whether it ended
 * a line.  For backends, not for modules. */
#ifndef _PELK_LIB_PRINTK_TEXT_H
#define _PELK_LIB_PRINTK_TEXT_H

#include <linux/types.h>
#include <stdarg.h>

/* The longest record text, as the kernel's log keeps it. */
#define PRINTK_TEXT_MAX (1024 - 32)

struct printk_text {
	int level;	/* of the first level prefix, else the default message level */
	bool newline;	/* the text ended in a newline (dropped from the text) */
	size_t start;	/* the text proper, every level prefix stripped: */
	size_t len;	/* buf[start .. start + len) */
};

__BEGIN_DECLS
/* Formats fmt into buf (cut to size - 1 bytes) and splits the result. */
void vprintk_text(char *buf, size_t size, const char *fmt, va_list args, struct printk_text *t);
__END_DECLS

#endif
