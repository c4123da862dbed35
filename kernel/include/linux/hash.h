#ifndef _LINUX_HASH_H
#define _LINUX_HASH_H

#include <linux/types.h>

#define GOLDEN_RATIO_32 0x61C88647u

/* Top bits of a multiplicative hash: the bucket index of a 2^bits table. */
static inline u32 hash_32(u32 val, unsigned int bits)
{
	return (u32)(val * GOLDEN_RATIO_32) >> (32 - bits);
}

#endif
