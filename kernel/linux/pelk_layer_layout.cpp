// SPDX-License-Identifier: GPL-2.0
/*
 * The layer's side of pelk_layout.h, measured as the module's C++ objects see
 * it: compiled with their flags to assembler only, whose marked lines Kbuild
 * turns into pelk_layer_layout.h for pelk_glue.c to check (the way the kernel
 * makes its asm-offsets.h).
 */
#include <linux/gfp.h>
#include <linux/kernel_stat.h>
#include <linux/kobject.h>
#include <linux/ktime.h>
#include <linux/miscdevice.h>
#include <linux/moduleparam.h>
#include <linux/notifier.h>
#include <linux/proc_fs.h>
#include <linux/rhashtable.h>
#include <linux/semaphore.h>
#include <linux/stddef.h>
#include <linux/time.h>
#include <linux/workqueue.h>

#define DEFINE(sym, val) asm volatile("\n.ascii \"->" #sym " %0 " #val "\"" : : "i"(val))

#define PELK_SIZE(s)                                       \
	DEFINE(PELK_LAYER_SIZEOF_##s, sizeof(struct s));   \
	DEFINE(PELK_LAYER_ALIGNOF_##s, alignof(struct s));
#define PELK_FITS(s) PELK_SIZE(s)
#define PELK_FIELD(s, f)                                            \
	DEFINE(PELK_LAYER_OFFSETOF_##s##__##f, offsetof(struct s, f));  \
	DEFINE(PELK_LAYER_SIZEOF_##s##__##f, sizeof(decltype(s::f)));
#define PELK_MIRROR(s) PELK_SIZE(s)
#define PELK_MIRROR_FIELD(s, f) PELK_FIELD(s, f)
#define PELK_CONST(c) DEFINE(PELK_LAYER_##c, c);
#define PELK_VALUE(c) DEFINE(PELK_LAYER_##c, c);

void pelk_layer_layout(void);
void pelk_layer_layout(void)
{
#include "pelk_layout.h"
}
