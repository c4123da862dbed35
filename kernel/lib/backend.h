// What a kernel backend (the simulated kernel, the live host backend) supplies
// to the generic kernel library in this directory.  Not for modules.
#pragma once

#include <linux/types.h>
#include <linux/fs.h>

__BEGIN_DECLS
// The private_data slot of an open file (seq_file keeps its state there).
void **__file_private_data(struct file *file);
// What %p prints for ptr: a stable 32-bit id (printed as 16 hex digits).
u32 __ptr_hash_id(const void *ptr);
// Fault injection: 0, or the negative errno with which this call of the
// named facility must fail ("rhashtable_init", "rhashtable_insert", ...).
int __kernel_fault(const char *facility, const char *site);
__END_DECLS
