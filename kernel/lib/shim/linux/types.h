/* Host builds only: the C library's own headers reach <linux/types.h> too
 * (for __u32 and friends), so besides the kernel-facility types this gives
 * them what the host's version has, and keeps the kernel-facility macros
 * from clashing with the host's (__always_inline, and __init/__exit, which
 * are field names in the C library). */
#ifndef PELK_SHIM_LINUX_TYPES_H
#define PELK_SHIM_LINUX_TYPES_H
#include <asm/types.h>
#include <linux/posix_types.h>
typedef __u16 __le16;
typedef __u16 __be16;
typedef __u32 __le32;
typedef __u32 __be32;
typedef __u64 __le64;
typedef __u64 __be64;
typedef __u16 __sum16;
typedef __u32 __wsum;
#ifndef __bitwise
#define __bitwise
#endif
#ifndef __aligned_u64
#define __aligned_u64 __u64 __attribute__((aligned(8)))
#define __aligned_s64 __s64 __attribute__((aligned(8)))
#define __aligned_be64 __be64 __attribute__((aligned(8)))
#define __aligned_le64 __le64 __attribute__((aligned(8)))
#endif
#ifdef __always_inline
#define PELK_SIM_SHIM_HAD_ALWAYS_INLINE
#pragma push_macro("__always_inline")
#undef __always_inline
#endif
#include_next <linux/types.h>
#ifdef PELK_SIM_SHIM_HAD_ALWAYS_INLINE
#undef __always_inline
#pragma pop_macro("__always_inline")
#undef PELK_SIM_SHIM_HAD_ALWAYS_INLINE
#endif
#undef __init
#undef __exit
#endif
