#!/bin/busybox sh
# /init of the qemu test's initramfs: loads the siblings and pelk_perf_util,
# runs the load it reports on, exercises the proc file, the switches, the
# parameter and the modem hand-over, unloads everything and prints the
# kernel log.  Every result goes to the console between "@@" markers; the
# host side (check_log.py) decides what passed.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /tmp
# The console stays quiet; the whole log is printed at the end.
echo 1 >/proc/sys/kernel/printk

mark() { echo "@@ $*"; }

# uevents arrive over netlink (Debian's kernel has no uevent helper): one
# env dump per event.
cat >/bin/record_uevent <<'EOS'
#!/bin/sh
{ env | sort; echo "--"; } >>/tmp/uevents
EOS
chmod +x /bin/record_uevent
uevent /bin/record_uevent &

insmod /kmod/ferrow_switch.ko && insmod /kmod/zebk_report.ko
/bin/busy system_server 3 &
ss=$!
/bin/busy pelk_busy 0 &
busy=$!
/bin/busy com.android.mms 0 &
app=$!
echo 900 >/proc/$app/oom_score_adj
mark "app oom_score_adj $(cat /proc/$app/oom_score_adj)"

insmod /kmod/pelk_perf_util.ko kmonitor_delay=2000
mark "insmod pelk_perf_util $?"
insmod /kmod/pelk_modem_test.ko
mark "insmod pelk_modem_test $?"
mark "param $(cat /sys/module/pelk_perf_util/parameters/kmonitor_delay)"
mark "param mode $(stat -c %a /sys/module/pelk_perf_util/parameters/kmonitor_delay)"
[ -e /sys/module/pelk_perf_util/sections/__ksymtab_gpl ] && mark "sysfs ksymtab_gpl present"
[ -e /sys/module/pelk_perf_util/holders/pelk_modem_test ] && mark "sysfs holder pelk_modem_test"
grep -E '\[pelk_perf_util\]' /proc/kallsyms | grep -wE 'odpm_md_sleep_init|sleep_history|sum_md_sleep_status' |
	while read -r addr type name mod; do mark "kallsyms $type $name $mod"; done

echo 1 >/sys/module/ferrow_switch/parameters/health
echo 1 >/sys/module/ferrow_switch/parameters/zeb

sleep 5
mark "proc1 [$(cat /proc/cpumonitor/cpu_monitor)]"
# Two health cycles (10 s apart) have to pass before the watched
# application is logged.
sleep 20
mark "proc2 [$(cat /proc/cpumonitor/cpu_monitor)]"

echo 3000 >/sys/module/pelk_perf_util/parameters/kmonitor_delay
mark "write 3000 $? $(cat /sys/module/pelk_perf_util/parameters/kmonitor_delay)"
echo -5 >/sys/module/pelk_perf_util/parameters/kmonitor_delay 2>/dev/null
mark "write -5 $? $(cat /sys/module/pelk_perf_util/parameters/kmonitor_delay)"
sleep 7
mark "history $(cat /sys/module/pelk_modem_test/parameters/history)"
mark "date $(date -u +%Y-%m-%d)"

# The live program (run.sh puts it in /pelk with its libraries): the same
# module's shared object on this kernel's tasks, the load still running.
# PELK_LIVE (the kernel's command line) is bpf where the kernel has BTF, the
# iterator forced so that a fall-back to /proc fails; else auto.
if [ -x /pelk/pelk_perf_run ]; then
	LD_LIBRARY_PATH=/pelk/lib /pelk/pelk_perf_run run --source "${PELK_LIVE:-bpf}" --period 1000 --duration 4 \
		--out /tmp/live-out >/tmp/live 2>/tmp/live.err
	mark "live exit $?"
	mark "live stderr [$(tr "\n" " " </tmp/live.err)]"
	mark "live begin"
	cat /tmp/live
	mark "live end"
fi

# Unload with the cycle due every 100 ms (from the re-arming after the
# current 3000 ms period).  The load stops first: an overload event every
# 100 ms would flood the uevent recorder's netlink socket.
kill $ss $busy $app
echo 100 >/sys/module/pelk_perf_util/parameters/kmonitor_delay
sleep 4
rmmod pelk_modem_test && rmmod pelk_perf_util
rc=$?
echo "qemu-test: rmmod pelk_perf_util returned $rc" >/dev/kmsg
mark "rmmod pelk_perf_util $rc"
sleep 1
rmmod zebk_report && rmmod ferrow_switch
mark "rmmod siblings $?"
# A record without a newline is complete once another one follows.
echo "qemu-test: modules unloaded" >/dev/kmsg
mark "lsmod [$(cat /proc/modules | cut -d' ' -f1 | tr '\n' ' ')]"
[ -e /proc/cpumonitor ] && mark "proc dir left behind"
[ -e /sys/class/misc/pelk_systemserver_loading ] && mark "device left behind"

# The last events' recorders may still be running.
sleep 2
mark "uevents begin"
cat /tmp/uevents
mark "uevents end"
mark "dmesg begin"
dmesg
mark "dmesg end"
poweroff -f
