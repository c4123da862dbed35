#ifndef _LINUX_SORT_H
#define _LINUX_SORT_H

#include <linux/types.h>

typedef int (*cmp_func_t)(const void *a, const void *b);
typedef void (*swap_func_t)(void *a, void *b, int size);

__BEGIN_DECLS
/* The kernel's in-place heapsort: not stable, no allocation.  swap may be NULL. */
void sort(void *base, size_t num, size_t size, cmp_func_t cmp_func, swap_func_t swap_func);
__END_DECLS

#endif
