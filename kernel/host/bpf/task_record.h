/* One task as the task iterator writes it: the record's layout is shared by
 * the BPF program (task_iter.bpf.c) and its reader (task_iter.cpp).  The
 * includer provides the __u64-style types (vmlinux.h, or <linux/types.h>).
 * Times are nanoseconds, as the scheduler keeps them, not yet adjusted. */
#ifndef PELK_TASK_RECORD_H
#define PELK_TASK_RECORD_H

struct pelk_task_record {
	/* the task's own: tick-sampled user and system time, its runtime,
	 * and what the kernel last answered for it (prev_cputime) */
	__u64 utime, stime, runtime;
	__u64 prev_utime, prev_stime;
	/* a group leader only: the group's ended threads (signal_struct),
	 * and what the kernel last answered for the whole group */
	__u64 dead_utime, dead_stime, dead_runtime;
	__u64 group_prev_utime, group_prev_stime;
	__s32 pid, tgid;
	__u32 flags;
	__s16 oom_score_adj; /* a group leader only */
	__u16 pad;
	char comm[16];
};

#endif
