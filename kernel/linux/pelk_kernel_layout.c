// SPDX-License-Identifier: GPL-2.0
/*
 * The sizes and alignments of the kernel objects that the layer gives the
 * module as opaque storage, measured in the kernel tree built against:
 * compiled to assembler only, whose marked lines Kbuild turns into
 * pelk_kernel_layout.h (the way the kernel makes its asm-offsets.h), which
 * the module's C++ objects include through linux/opaque.h.
 */
#include <linux/kbuild.h>
#include <linux/rhashtable.h>
#include <linux/semaphore.h>
#include <linux/workqueue.h>

#define PELK_OPAQUE(NAME, s)                              \
	DEFINE(PELK_##NAME##_SIZE, sizeof(struct s));     \
	DEFINE(PELK_##NAME##_ALIGN, __alignof__(struct s))

int main(void);
int main(void)
{
	PELK_OPAQUE(SEMAPHORE, semaphore);
	PELK_OPAQUE(WORK_STRUCT, work_struct);
	PELK_OPAQUE(DELAYED_WORK, delayed_work);
	PELK_OPAQUE(RHASHTABLE, rhashtable);
	return 0;
}
