/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What the kernel-facility layer (kernel/include) repeats of the kernel: the
 * objects it embeds as opaque storage, the structures it hands to the kernel
 * as they are, and the constants it mirrors.  Included twice with different
 * definitions of the entries: by pelk_layer_layout.cpp, compiled as the
 * module's C++ objects are, which measures the layer (Kbuild turns its
 * values into pelk_layer_layout.h); and by pelk_glue.c, compiled against the
 * kernel, which checks each value against the kernel's own at file scope, so
 * that a build against a kernel that differs stops.
 *
 *   PELK_FITS(s)             the layer's struct s is storage the kernel's fits in
 *   PELK_SIZE(s)             struct s has the kernel's size
 *   PELK_FIELD(s, f)         field f of struct s has the kernel's offset and size
 *   PELK_CONST(c)            constant c has the kernel's value
 *   PELK_MIRROR(s), PELK_MIRROR_FIELD(s, f)
 *                            the same for a layer structure that the glue
 *                            mirrors as struct pelk_<s> (not the kernel's)
 *   PELK_VALUE(c)            a layer constant the glue uses (no kernel check)
 */
PELK_FITS(semaphore)
PELK_FITS(work_struct)
PELK_FITS(delayed_work)
PELK_FIELD(delayed_work, work)
PELK_FITS(rhashtable)

PELK_SIZE(rhash_head)
PELK_FIELD(rhash_head, next)
PELK_SIZE(rhashtable_compare_arg)
PELK_FIELD(rhashtable_compare_arg, ht)
PELK_FIELD(rhashtable_compare_arg, key)
PELK_SIZE(rhashtable_params)
PELK_FIELD(rhashtable_params, nelem_hint)
PELK_FIELD(rhashtable_params, key_len)
PELK_FIELD(rhashtable_params, key_offset)
PELK_FIELD(rhashtable_params, head_offset)
PELK_FIELD(rhashtable_params, max_size)
PELK_FIELD(rhashtable_params, min_size)
PELK_FIELD(rhashtable_params, automatic_shrinking)
PELK_FIELD(rhashtable_params, hashfn)
PELK_FIELD(rhashtable_params, obj_hashfn)
PELK_FIELD(rhashtable_params, obj_cmpfn)

PELK_SIZE(kernel_param)
PELK_FIELD(kernel_param, name)
PELK_FIELD(kernel_param, mod)
PELK_FIELD(kernel_param, ops)
PELK_FIELD(kernel_param, perm)
PELK_FIELD(kernel_param, level)
PELK_FIELD(kernel_param, flags)
PELK_FIELD(kernel_param, arg)
PELK_SIZE(kernel_param_ops)
PELK_FIELD(kernel_param_ops, flags)
PELK_FIELD(kernel_param_ops, set)
PELK_FIELD(kernel_param_ops, get)
PELK_FIELD(kernel_param_ops, free)

PELK_SIZE(notifier_block)
PELK_FIELD(notifier_block, notifier_call)
PELK_FIELD(notifier_block, next)
PELK_FIELD(notifier_block, priority)

PELK_SIZE(timezone)
PELK_FIELD(timezone, tz_minuteswest)
PELK_FIELD(timezone, tz_dsttime)
PELK_SIZE(tm)
PELK_FIELD(tm, tm_sec)
PELK_FIELD(tm, tm_min)
PELK_FIELD(tm, tm_hour)
PELK_FIELD(tm, tm_mday)
PELK_FIELD(tm, tm_mon)
PELK_FIELD(tm, tm_year)
PELK_FIELD(tm, tm_wday)
PELK_FIELD(tm, tm_yday)

PELK_CONST(CPUTIME_USER)
PELK_CONST(CPUTIME_NICE)
PELK_CONST(CPUTIME_SYSTEM)
PELK_CONST(CPUTIME_SOFTIRQ)
PELK_CONST(CPUTIME_IRQ)
PELK_CONST(CPUTIME_IDLE)
PELK_CONST(CPUTIME_IOWAIT)
PELK_CONST(CPUTIME_STEAL)
PELK_CONST(CPUTIME_GUEST)
PELK_CONST(CPUTIME_GUEST_NICE)
PELK_VALUE(NR_STATS)

/* alloc_workqueue and kobject_uevent_env are called directly, with the
 * layer's flags and actions. */
PELK_CONST(WQ_UNBOUND)
PELK_CONST(WQ_FREEZABLE)
PELK_CONST(WQ_MEM_RECLAIM)
PELK_CONST(WQ_HIGHPRI)
PELK_CONST(WQ_CPU_INTENSIVE)
PELK_CONST(__WQ_LEGACY)
PELK_VALUE(WORK_CPU_UNBOUND)

PELK_CONST(KOBJ_ADD)
PELK_CONST(KOBJ_REMOVE)
PELK_CONST(KOBJ_CHANGE)
PELK_CONST(KOBJ_MOVE)
PELK_CONST(KOBJ_ONLINE)
PELK_CONST(KOBJ_OFFLINE)
PELK_CONST(KOBJ_BIND)
PELK_CONST(KOBJ_UNBIND)

PELK_CONST(TK_OFFS_REAL)
PELK_CONST(TK_OFFS_BOOT)
PELK_CONST(TK_OFFS_TAI)

/* Translated bit by bit by the glue, not compared. */
PELK_VALUE(__GFP_HIGH)
PELK_VALUE(__GFP_IO)
PELK_VALUE(__GFP_FS)
PELK_VALUE(__GFP_ZERO)
PELK_VALUE(__GFP_ATOMIC)
PELK_VALUE(__GFP_DIRECT_RECLAIM)
PELK_VALUE(__GFP_KSWAPD_RECLAIM)
PELK_VALUE(__GFP_NOWARN)

PELK_MIRROR(proc_ops)
PELK_MIRROR_FIELD(proc_ops, proc_flags)
PELK_MIRROR_FIELD(proc_ops, proc_open)
PELK_MIRROR_FIELD(proc_ops, proc_read)
PELK_MIRROR_FIELD(proc_ops, proc_write)
PELK_MIRROR_FIELD(proc_ops, proc_lseek)
PELK_MIRROR_FIELD(proc_ops, proc_release)
PELK_MIRROR(miscdevice)
PELK_MIRROR_FIELD(miscdevice, minor)
PELK_MIRROR_FIELD(miscdevice, name)
PELK_MIRROR_FIELD(miscdevice, fops)
PELK_MIRROR_FIELD(miscdevice, this_device)
PELK_MIRROR_FIELD(miscdevice, nodename)
PELK_MIRROR_FIELD(miscdevice, mode)
PELK_MIRROR_FIELD(miscdevice, __opaque)
