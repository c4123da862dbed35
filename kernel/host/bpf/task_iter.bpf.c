// SPDX-License-Identifier: GPL-2.0
/* The live backend's task source: one pass of the kernel's task iterator
 * writes every task (each thread of each process) as a fixed-size record.
 * Compiled with clang for the BPF target against the running kernel's BTF
 * (CO-RE: field offsets are relocated when the program is loaded). */
#include "vmlinux.h"
#include <bpf/bpf_helpers.h>

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
	/* Plain loads through the task's BTF pointer (the verifier makes them
	 * fault-safe), not a helper call per field: this runs for every task. */
	r.pid = task->pid;
	r.tgid = task->tgid;
	r.flags = task->flags;
	__builtin_memcpy(r.comm, task->comm, sizeof(r.comm));
	r.utime = task->utime;
	r.stime = task->stime;
	r.runtime = task->se.sum_exec_runtime;
	r.prev_utime = task->prev_cputime.utime;
	r.prev_stime = task->prev_cputime.stime;
	if (r.pid == r.tgid) {
		struct signal_struct *sig = task->signal;

		r.dead_utime = sig->utime;
		r.dead_stime = sig->stime;
		r.dead_runtime = sig->sum_sched_runtime;
		r.group_prev_utime = sig->prev_cputime.utime;
		r.group_prev_stime = sig->prev_cputime.stime;
		r.oom_score_adj = sig->oom_score_adj;
	}
	bpf_seq_write(seq, &r, sizeof(r));
	return 0;
}
