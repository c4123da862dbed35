/* Virtually contiguous allocation; may sleep, so never inside an RCU section. */
#ifndef _LINUX_VMALLOC_H
#define _LINUX_VMALLOC_H

#include <linux/types.h>
#include <linux/gfp.h>

__BEGIN_DECLS
void *__vmalloc_site(unsigned long size, gfp_t flags, const char *site);
void vfree(const void *addr);
__END_DECLS

#define vmalloc(size) __vmalloc_site((size), GFP_KERNEL, __func__)
#define vzalloc(size) __vmalloc_site((size), GFP_KERNEL | __GFP_ZERO, __func__)

#endif
