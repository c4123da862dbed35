#ifndef _LINUX_GFP_H
#define _LINUX_GFP_H

#include <linux/types.h>

#define __GFP_HIGH 0x20u
#define __GFP_IO 0x40u
#define __GFP_FS 0x80u
#define __GFP_ZERO 0x100u
#define __GFP_ATOMIC 0x200u
#define __GFP_DIRECT_RECLAIM 0x400u
#define __GFP_KSWAPD_RECLAIM 0x800u
#define __GFP_NOWARN 0x2000u
#define __GFP_RECLAIM (__GFP_DIRECT_RECLAIM | __GFP_KSWAPD_RECLAIM)

#define GFP_ATOMIC (__GFP_HIGH | __GFP_ATOMIC | __GFP_KSWAPD_RECLAIM)
#define GFP_KERNEL (__GFP_RECLAIM | __GFP_IO | __GFP_FS)
#define GFP_NOWAIT (__GFP_KSWAPD_RECLAIM)

/* True when an allocation with these flags may sleep. */
static inline bool gfpflags_allow_blocking(gfp_t flags)
{
	return (flags & __GFP_DIRECT_RECLAIM) != 0;
}

#endif
