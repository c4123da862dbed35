// A printk record's text, level and line end, as the kernel's printk takes
// them apart (kernel/printk/printk.c): every level prefix is stripped, the
// first one sets the level, and a trailing newline ends the line.
#include "printk_text.h"

#include <linux/kernel.h>
#include <linux/printk.h>

extern "C" void vprintk_text(char *buf, size_t size, const char *fmt, va_list args, struct printk_text *t)
{
	int n = vsnprintf(buf, size, fmt, args);
	size_t len = n < 0 ? 0 : ((size_t)n < size - 1 ? (size_t)n : size - 1);
	size_t pre = 0;
	int level = -1;

	buf[len] = 0;
	while (pre < len && buf[pre] == KERN_SOH_ASCII &&
	       ((buf[pre + 1] >= '0' && buf[pre + 1] <= '7') || buf[pre + 1] == 'c')) {
		if (buf[pre + 1] != 'c' && level < 0)
			level = buf[pre + 1] - '0';
		pre += 2;
	}
	t->level = level < 0 ? MESSAGE_LOGLEVEL_DEFAULT : level;
	t->newline = len > 0 && buf[len - 1] == '\n';
	if (t->newline)
		len--;
	if (pre > len)
		pre = len;
	t->start = pre;
	t->len = len - pre;
}
