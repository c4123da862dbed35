#!/bin/busybox sh
# /init of the in-kernel cost measurement: with about 100, 1,000 and 5,000
# processes, the function-graph tracer times the performance cycle and the
# health cycle (their work functions), and the same guest times busybox's
# `top -b -n 1` and `ps -e`.  Prints one "@@ cost" line per process count;
# nothing is checked (TCG makes absolute times meaningless: compare the
# figures of one run with each other).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t tracefs tracefs /sys/kernel/tracing
mkdir -p /tmp
echo 1 >/proc/sys/kernel/printk

mark() { echo "@@ $*"; }
t=/sys/kernel/tracing

insmod /kmod/ferrow_switch.ko && insmod /kmod/zebk_report.ko
echo 1 >/sys/module/ferrow_switch/parameters/health
insmod /kmod/pelk_perf_util.ko kmonitor_delay=1000
mark "insmod pelk_perf_util $?"
/bin/busy system_server 2 &
/bin/busy com.android.mms 0 &

# Only the two work functions are patched (patching every function takes
# TCG half a minute of stopped machine): the tracer prints one line with its
# duration per call.
echo 0 >$t/tracing_on
echo '*pelk_perf_monitor_work_func*' >$t/set_ftrace_filter
echo '*app_heath_work_func*' >>$t/set_ftrace_filter
echo function_graph >$t/current_tracer
mark "traced [$(cat $t/set_ftrace_filter | tr '\n' ' ')]"

# median FILE: the middle one of the numbers in FILE, or "-" without any.
median() { sort -n "$1" | awk '{v[NR] = $1} END {print NR ? v[int((NR + 1) / 2)] : "-"}'; }

for n in 100 1000 5000; do
	have=$(ls -d /proc/[0-9]* | wc -l)
	[ $have -lt $n ] && /bin/stress procs $((n - have)) 100000 >/dev/null &
	while [ $(ls -d /proc/[0-9]* | wc -l) -lt $n ]; do sleep 1; done
	sleep 3
	echo >$t/trace
	echo 1 >$t/tracing_on
	# Three health cycles (every 10 s) and some thirty performance cycles.
	sleep 31
	echo 0 >$t/tracing_on
	grep 'pelk_perf_monitor_work_func' $t/trace | grep -oE '[0-9]+\.[0-9]+ us' | cut -d' ' -f1 >/tmp/perf
	grep 'app_heath_work_func' $t/trace | grep -oE '[0-9]+\.[0-9]+ us' | cut -d' ' -f1 >/tmp/health
	# Under TCG a tool's run at 5,000 processes takes tens of seconds.
	runs=5
	[ $n -ge 5000 ] && runs=3
	top=$(/bin/stress timeit $runs top -b -n 1)
	ps=$(/bin/stress timeit $runs ps -e)
	mark "cost $(ls -d /proc/[0-9]* | wc -l) processes:" \
		"perf cycle $(median /tmp/perf) us ($(wc -l </tmp/perf) cycles)," \
		"health cycle $(median /tmp/health) us ($(wc -l </tmp/health) cycles)," \
		"top -b -n 1 ${top#timeit: }, ps -e ${ps#timeit: }"
done
echo nop >$t/current_tracer
rmmod pelk_perf_util && rmmod zebk_report && rmmod ferrow_switch
mark "rmmod $?"
poweroff -f
