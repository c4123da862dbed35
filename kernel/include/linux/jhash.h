/* Bob Jenkins' lookup3 hash, the kernel's variant (initial constant
 * 0xdeadbeef, little-endian word loads). */
#ifndef _LINUX_JHASH_H
#define _LINUX_JHASH_H

#include <linux/types.h>

#define JHASH_INITVAL 0xdeadbeefu

static inline u32 rol32(u32 word, unsigned int shift)
{
	return (word << (shift & 31)) | (word >> ((-shift) & 31));
}

#define __jhash_mix(a, b, c) \
	{ \
		a -= c; a ^= rol32(c, 4);  c += b; \
		b -= a; b ^= rol32(a, 6);  a += c; \
		c -= b; c ^= rol32(b, 8);  b += a; \
		a -= c; a ^= rol32(c, 16); c += b; \
		b -= a; b ^= rol32(a, 19); a += c; \
		c -= b; c ^= rol32(b, 4);  b += a; \
	}

#define __jhash_final(a, b, c) \
	{ \
		c ^= b; c -= rol32(b, 14); \
		a ^= c; a -= rol32(c, 11); \
		b ^= a; b -= rol32(a, 25); \
		c ^= b; c -= rol32(b, 16); \
		a ^= c; a -= rol32(c, 4);  \
		b ^= a; b -= rol32(a, 14); \
		c ^= b; c -= rol32(b, 24); \
	}

static inline u32 __jhash_get_unaligned_le32(const u8 *p)
{
	return (u32)p[0] | ((u32)p[1] << 8) | ((u32)p[2] << 16) | ((u32)p[3] << 24);
}

/* Hash length bytes at key with initval; the kernel's jhash(). */
static inline u32 jhash(const void *key, u32 length, u32 initval)
{
	u32 a, b, c;
	const u8 *k = (const u8 *)key;

	a = b = c = JHASH_INITVAL + length + initval;

	while (length > 12) {
		a += __jhash_get_unaligned_le32(k);
		b += __jhash_get_unaligned_le32(k + 4);
		c += __jhash_get_unaligned_le32(k + 8);
		__jhash_mix(a, b, c);
		length -= 12;
		k += 12;
	}
	switch (length) {
	case 12: c += (u32)k[11] << 24; /* fall through */
	case 11: c += (u32)k[10] << 16; /* fall through */
	case 10: c += (u32)k[9] << 8;   /* fall through */
	case 9:  c += k[8];             /* fall through */
	case 8:  b += (u32)k[7] << 24;  /* fall through */
	case 7:  b += (u32)k[6] << 16;  /* fall through */
	case 6:  b += (u32)k[5] << 8;   /* fall through */
	case 5:  b += k[4];             /* fall through */
	case 4:  a += (u32)k[3] << 24;  /* fall through */
	case 3:  a += (u32)k[2] << 16;  /* fall through */
	case 2:  a += (u32)k[1] << 8;   /* fall through */
	case 1:  a += k[0];
		__jhash_final(a, b, c);
		break;
	case 0:
		break;
	}
	return c;
}

#endif
