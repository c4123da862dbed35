/* Slab allocation.  Every allocation carries the name of the function that
 * asks for it (like the kernel's track-caller variants carry the caller), so
 * that accounting and fault injection can tell the allocation sites apart. */
#ifndef _LINUX_SLAB_H
#define _LINUX_SLAB_H

#include <linux/types.h>
#include <linux/gfp.h>

__BEGIN_DECLS
void *__kmalloc_site(size_t size, gfp_t flags, const char *site);
void kfree(const void *objp);
__END_DECLS

#define kmalloc(size, flags) __kmalloc_site((size), (flags), __func__)
#define kzalloc(size, flags) __kmalloc_site((size), (flags) | __GFP_ZERO, __func__)
#define kmalloc_array(n, size, flags) \
	(((size) != 0 && (n) > ((size_t)-1) / (size)) ? NULL : \
	 __kmalloc_site((size_t)(n) * (size), (flags), __func__))
#define kcalloc(n, size, flags) kmalloc_array((n), (size), (flags) | __GFP_ZERO)

#endif
