/* Sizes and alignments of the kernel objects that the layer gives the module
 * as opaque storage (struct semaphore, work_struct, delayed_work, rhashtable).
 *
 * Built as a real kernel module, they are those of the kernel tree built
 * against, measured at build time (kernel/linux/pelk_kernel_layout.c, made
 * into pelk_kernel_layout.h by Kbuild): a kernel configuration with lock
 * debugging, for one, makes a semaphore 88 bytes rather than 24.  The
 * simulated and host backends keep their own, which their state fits in.
 * The storage is made of whole unsigned longs, as the backends read it; a
 * size that was not a multiple would leave it short, which the glue's build
 * check refuses. */
#ifndef _LINUX_OPAQUE_H
#define _LINUX_OPAQUE_H

#ifdef PELK_KERNEL_LAYOUT
#include <pelk_kernel_layout.h>
#else
#define PELK_SEMAPHORE_SIZE 32
#define PELK_SEMAPHORE_ALIGN 8
#define PELK_WORK_STRUCT_SIZE 32
#define PELK_WORK_STRUCT_ALIGN 8
#define PELK_DELAYED_WORK_SIZE 128
#define PELK_DELAYED_WORK_ALIGN 8
#define PELK_RHASHTABLE_SIZE 256
#define PELK_RHASHTABLE_ALIGN 8
#endif

#endif
