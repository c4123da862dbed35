// SPDX-License-Identifier: GPL-2.0
/* The live backend's task source: one pass of the kernel's task iterator
 * writes every task (each thread of each process) as a fixed-size record.
 * Compiled with clang for the BPF target against the running kernel's BTF
 * (CO-RE: field offsets are relocated when the program is loaded). */
#include "vmlinux.h"
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>

#include "task_record.h"

char LICENSE[] SEC("license") = "GPL";

SEC("iter/task")
int pelk_task_records(struct bpf_iter__task *ctx)
{
	struct seq_file *seq = ctx->meta->seq;
	struct task_struct *task = ctx->task;
	struct pelk_task_record r = {};

	if (!task)
		return 0;
	r.pid = BPF_CORE_READ(task, pid);
	r.tgid = BPF_CORE_READ(task, tgid);
	r.flags = BPF_CORE_READ(task, flags);
	BPF_CORE_READ_STR_INTO(&r.comm, task, comm);
	r.utime = BPF_CORE_READ(task, utime);
	r.stime = BPF_CORE_READ(task, stime);
	r.runtime = BPF_CORE_READ(task, se.sum_exec_runtime);
	r.prev_utime = BPF_CORE_READ(task, prev_cputime.utime);
	r.prev_stime = BPF_CORE_READ(task, prev_cputime.stime);
	if (r.pid == r.tgid) {
		struct signal_struct *sig = BPF_CORE_READ(task, signal);

		r.dead_utime = BPF_CORE_READ(sig, utime);
		r.dead_stime = BPF_CORE_READ(sig, stime);
		r.dead_runtime = BPF_CORE_READ(sig, sum_sched_runtime);
		r.group_prev_utime = BPF_CORE_READ(sig, prev_cputime.utime);
		r.group_prev_stime = BPF_CORE_READ(sig, prev_cputime.stime);
		r.oom_score_adj = BPF_CORE_READ(sig, oom_score_adj);
	}
	bpf_seq_write(seq, &r, sizeof(r));
	return 0;
}
