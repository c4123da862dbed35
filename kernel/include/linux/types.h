/* Basic kernel types, freestanding: no libc or C++ library header is used. */
#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H

typedef __INT8_TYPE__ s8;
typedef __UINT8_TYPE__ u8;
typedef __INT16_TYPE__ s16;
typedef __UINT16_TYPE__ u16;
typedef __INT32_TYPE__ s32;
typedef __UINT32_TYPE__ u32;
typedef long long s64;
typedef unsigned long long u64;

typedef __SIZE_TYPE__ size_t;
typedef __PTRDIFF_TYPE__ ssize_t;
typedef __INT64_TYPE__ loff_t;
typedef s64 time64_t;
typedef s64 ktime_t;
typedef int pid_t;
typedef unsigned short umode_t;
typedef unsigned int gfp_t;
typedef unsigned int __poll_t;
typedef unsigned long uintptr_t;

#ifndef __cplusplus
typedef _Bool bool;
#define true 1
#define false 0
#endif

#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void *)0)
#endif
#endif

#ifdef __cplusplus
#define __BEGIN_DECLS extern "C" {
#define __END_DECLS }
#else
#define __BEGIN_DECLS
#define __END_DECLS
#endif

#define __user
#define __init
#define __exit
#define __rcu
#define __always_inline inline __attribute__((__always_inline__))

#define U8_MAX ((u8)~0U)
#define U32_MAX ((u32)~0U)
#define S32_MAX ((s32)(U32_MAX >> 1))
#define U64_MAX ((u64)~0ULL)
#ifndef INT_MAX
#define INT_MAX __INT_MAX__
#define INT_MIN (-INT_MAX - 1)
#define UINT_MAX (INT_MAX * 2U + 1U)
#define LONG_MAX __LONG_MAX__
#define ULONG_MAX (LONG_MAX * 2UL + 1UL)
#endif
#endif
