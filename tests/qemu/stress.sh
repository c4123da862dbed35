#!/bin/busybox sh
# /init of the qemu stress test, on the debugging kernel: while CPUs go off
# and on line, processes and threads come and go past a wrap of the pid
# numbers, readers read the proc file, kmonitor_delay is written and the
# switches flipped, pelk_perf_util is loaded and unloaded ROUNDS times at
# random moments.  Then, the module unloaded, a kmemleak scan; then a last
# clean load.  Results go to the console between "@@" markers; check_stress.py
# decides what passed.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t debugfs debugfs /sys/kernel/debug
mkdir -p /tmp
# Errors reach the console at once (a hung guest still shows them); the
# rest of the log is printed at the end.
echo 4 >/proc/sys/kernel/printk

mark() { echo "@@ $*"; }
rounds=${ROUNDS:-30}
param=/sys/module/pelk_perf_util/parameters/kmonitor_delay
kml=/sys/kernel/debug/kmemleak
start=$(date +%s)

# What the kernel itself leaves unreferenced at boot is set aside.
echo scan >$kml
echo clear >$kml

insmod /kmod/ferrow_switch.ko && insmod /kmod/zebk_report.ko
mark "insmod siblings $?"
echo 1024 >/proc/sys/kernel/pid_max
mark "pid_max $(cat /proc/sys/kernel/pid_max)"

# ---- the load, all of it running until /tmp/stop exists ----
stopped() { [ -e /tmp/stop ]; }
for i in 1 2 3 4; do
	( n=0; while ! stopped; do cat /proc/cpumonitor/cpu_monitor >/dev/null 2>&1 && n=$((n + 1)); usleep 20000; done
	  echo "reader $i: $n reads" >/tmp/out.reader$i ) &
done
( n=0; ok=0
  while ! stopped; do
	for v in 100 0 100 -5 250 abc 99999999999 2147483647 100 -2147483648 ' 100' 1000 100; do
		{ echo "$v" >$param; } 2>/dev/null && ok=$((ok + 1))
		n=$((n + 1))
		usleep 30000
	done
  done
  echo "writer: $n writes of kmonitor_delay, $ok taken" >/tmp/out.writer ) &
( n=0
  while ! stopped; do
	echo $((n & 1)) >/sys/module/ferrow_switch/parameters/health
	echo $(((n >> 1) & 1)) >/sys/module/ferrow_switch/parameters/zeb
	n=$((n + 1))
	usleep 10000
  done
  echo 1 >/sys/module/ferrow_switch/parameters/health
  echo "switches: $n flips" >/tmp/out.switches ) &
( n=0
  while ! stopped; do
	for c in 1 2 3; do
		echo 0 >/sys/devices/system/cpu/cpu$c/online && n=$((n + 1))
		usleep $((200000 + RANDOM % 400000))
	done
	for c in 3 1 2; do
		echo 1 >/sys/devices/system/cpu/cpu$c/online
		usleep $((200000 + RANDOM % 400000))
	done
  done
  for c in 1 2 3; do echo 1 >/sys/devices/system/cpu/cpu$c/online; done
  echo "hotplug: $n CPUs taken off line" >/tmp/out.hotplug ) &
/bin/stress storm >/tmp/out.storm &
( n=0; t=0
  while ! stopped; do
	/bin/stress threads system_server 200 4 >/tmp/ss.out
	t=$((t + $(cut -d" " -f4 /tmp/ss.out)))
	n=$((n + 1))
  done
  echo "system_server: $n runs, $t threads" >/tmp/out.ss ) &
/bin/stress rename com.android.mms pelk_renamed m.android.phone ndroid.systemui pelk_plain >/tmp/out.rename &
/bin/busy pelk_busy 0 &
busy=$!

# ---- load and unload at random moments ----
# Most rounds last up to 1.5 s (a cycle every 100 ms: unloads fall before,
# during and after cycles); every tenth lasts 12 s, so that health cycles run.
r=0
failed=0
while [ $r -lt $rounds ]; do
	r=$((r + 1))
	insmod /kmod/pelk_perf_util.ko kmonitor_delay=100 || failed=$((failed + 1))
	if [ $((r % 10)) -eq 0 ]; then
		sleep 12
	else
		usleep $((RANDOM * 1500000 / 32768))
	fi
	rmmod pelk_perf_util || failed=$((failed + 1))
	echo "@@ round $r $(date +%s)"
done
mark "rounds $r failed $failed"

touch /tmp/stop
kill $busy
wait
for f in /tmp/out.*; do mark "$(cat $f)"; done
mark "online $(cat /sys/devices/system/cpu/online)"
echo 32768 >/proc/sys/kernel/pid_max
mark "stress took $(( $(date +%s) - start ))s"

rmmod zebk_report && rmmod ferrow_switch
mark "rmmod siblings $?"
mark "lsmod [$(cut -d' ' -f1 /proc/modules | tr '\n' ' ')]"

# ---- leaks: objects unreferenced for 5 s are reported by a scan ----
sleep 6
echo scan >$kml
sleep 6
echo scan >$kml
mark "kmemleak begin"
cat $kml
mark "kmemleak end"

# ---- the stress's kernel log, without the module's own report lines ----
mark "cycles $(dmesg | grep -c 'PELK Perf Statistic done')"
mark "health lines $(dmesg | grep -c ', 1min:')"
# An unload caught a cycle mid-way when the exit line comes between a
# cycle's start and its done line.
mark "unloads mid-cycle $(dmesg | awk '/PELK Perf Statistic start/ {c = 1} /PELK Perf Statistic done/ {c = 0} /pelk_cpu_monitor_exit/ {n += c} END {print n + 0}')"
mark "dmesg-stress begin"
dmesg -c | grep -vE '\] (\[K\]|\[name:|[^ ]+, 1min:|pelk_cpu_monitor_(init|exit)|pelk_health init|is_HEALTH_enable|is_zeb)'
mark "dmesg-stress end"

# ---- a last load: clean cycles with well-formed tables ----
insmod /kmod/ferrow_switch.ko && insmod /kmod/zebk_report.ko
echo 1 >/sys/module/ferrow_switch/parameters/health
/bin/busy system_server 3 &
ss=$!
/bin/busy pelk_busy 0 &
busy=$!
insmod /kmod/pelk_perf_util.ko kmonitor_delay=1000
mark "insmod pelk_perf_util $?"
sleep 6
mark "proc [$(cat /proc/cpumonitor/cpu_monitor)]"
kill $ss $busy
rmmod pelk_perf_util && rmmod zebk_report && rmmod ferrow_switch
mark "rmmod last $?"
mark "dmesg begin"
dmesg
mark "dmesg end"
poweroff -f
