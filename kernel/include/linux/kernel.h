/* Core helpers: formatting into buffers, number parsing, container_of. */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#include <linux/types.h>
#include <linux/printk.h>

#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - __builtin_offsetof(type, member)))

/* Single-copy accesses of values shared between contexts without a lock.
 * They are relaxed atomic accesses: the same single load or store as a
 * volatile one on every architecture the module runs on, but marked as
 * intended for ThreadSanitizer, as KCSAN treats the kernel's own. */
#define READ_ONCE(x)                                                   \
	({                                                             \
		__typeof__(x) __ro_val;                                \
		__atomic_load(&(x), &__ro_val, __ATOMIC_RELAXED);      \
		__ro_val;                                              \
	})
#define WRITE_ONCE(x, val)                                             \
	do {                                                           \
		__typeof__(x) __wo_val = (val);                        \
		__atomic_store(&(x), &__wo_val, __ATOMIC_RELAXED);     \
	} while (0)

typedef __builtin_va_list va_list;
#ifndef va_start
#define va_start(v, l) __builtin_va_start(v, l)
#define va_end(v) __builtin_va_end(v)
#define va_arg(v, l) __builtin_va_arg(v, l)
#endif

__BEGIN_DECLS

/* The kernel's own vsnprintf: %d %i %u %x %X %o %c %s %p %% with flags, width,
 * precision and the hh/h/l/ll/z length modifiers; no floating point.  %p
 * prints a hashed id, never the raw address.  Returns the length the whole
 * text would have had.  The link names differ from the C library's, whose
 * functions of the same names behave otherwise. */
int vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
	__asm__("kernel_vsnprintf");
int snprintf(char *buf, size_t size, const char *fmt, ...)
	__asm__("kernel_snprintf") __attribute__((format(printf, 3, 4)));
/* Like snprintf but returns the number of bytes actually written (without NUL). */
int vscnprintf(char *buf, size_t size, const char *fmt, va_list args);
int scnprintf(char *buf, size_t size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));

/* Whole-string parse in the given base (0: auto); 0, -EINVAL or -ERANGE. */
int kstrtoint(const char *s, unsigned int base, int *res);
int kstrtouint(const char *s, unsigned int base, unsigned int *res);
int kstrtoull(const char *s, unsigned int base, unsigned long long *res);

/* Marks a place that must not sleep being left for one that may (no-op here). */
void might_sleep(void);

__END_DECLS

#endif
