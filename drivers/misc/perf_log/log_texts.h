/* pelk_perf_util: the texts it writes to the kernel log.
 *
 * printk formats without their log level (perf_log.h adds it).  A plain
 * header of string literals: the module prints with them and the log reader
 * of the pelk_perf_util program recognises the lines by them, so a text
 * changed here changes both.
 */
#ifndef _PELK_LOG_TEXTS_H
#define _PELK_LOG_TEXTS_H

#define PELK_TEXT_INIT "pelk_cpu_monitor_init"
#define PELK_TEXT_EXIT "pelk_cpu_monitor_exit"
#define PELK_TEXT_DELAY_REFUSED "[K] kmonitor_delay=%d refused, using %d\n"
#define PELK_TEXT_HEALTH_TRUE "is_HEALTH_enable is true"
#define PELK_TEXT_HEALTH_FALSE "is_HEALTH_enable is false"

/* The report block. */
#define PELK_TEXT_WQ_CREATED "[K] Success to create pelk_perf_monitor_wq (0x%p).\n"
#define PELK_TEXT_WQ_UNAVAILABLE "[K] pelk_perf_monitor_wq is unavaliable.\n"
#define PELK_TEXT_CYCLE_START "[K][Perf] PELK Perf Statistic start (%02d-%02d %02d:%02d:%02d)\n"
#define PELK_TEXT_CYCLE_DONE "[K][Perf] PELK Perf Statistic done\n"
#define PELK_TEXT_TOP_HEADER \
	"[K]     Usage          PID        %20s          Total:%d(ms)*%d       Oom_Score_Adj\n"
#define PELK_TEXT_TOP_ROW "[K] %8llu%%        %5d        %20s          %11llu(ns)          %5d\n"
#define PELK_TEXT_CPUS_USAGE \
	"[K]  Cpus Usage [%2llu], [%2llu], [%2llu], [%2llu], [%2llu] [%2llu], [%2llu], [%2llu]\n"
#define PELK_TEXT_CPU_SPLIT "[K]  user[%02d],system[%02d],iowait[%02d],irq[%02d],idle[%02d]\n"
#define PELK_TEXT_ZEB_EFFECTIVE "freeze_cpustat_zeb is effective\n"

/* system_server's busiest threads. */
#define PELK_TEXT_NO_SS_TASK "Can't find the task of pid %d\n"
#define PELK_TEXT_TASK_INFO_ALLOC_FAILED "Can't allocate memory for %s\n"
#define PELK_TEXT_TASK_INFO_MISSING "Can't find the info of %s\n"
#define PELK_TEXT_TASKS_ARRAY_FAILED "Failed to allocate memory for tasks array\n"
#define PELK_TEXT_SS_TOP_START "[K]system_server TOP thread (%02d-%02d %02d:%02d:%02d)\n"
#define PELK_TEXT_SS_TOP_HEADER "[K]     Usage          PID        %20s\n"
#define PELK_TEXT_SS_TOP_ROW "[K] %8llu%%        %5d        %20s\n"

/* The modem's sleep record. */
#define MD_TEXT_NO_SHARE_MEM "[name:spm&][K][info][%s:%d] - No MD share mem\n"
#define MD_TEXT_SHARE_MEM_NULL "[K][info]MD shared memory is NULL"
#define MD_TEXT_NOT_VALID "[K][info] MD sleep info. is not valid"
#define MD_TEXT_DURATION "[K][info] md_slp_duration = %llu (32k)\n"
#define MD_TEXT_SUM "SUM MD/2G/3G/4G/5G_FR1 = %6llu/%6llu/%6llu/%6llu/%6llu seconds"
#define MD_TEXT_UTC " [UTC][%04d-%02d-%02d %02d:%02d:%02d]"
#define MD_TEXT_SUM_LINE "[name:tpc&][K][info] %s"

/* The loading device. */
#define PELK_TEXT_MISC_REGISTER_FAILED "register systemserver_object failed"
#define PELK_TEXT_UEVENT_ADD_FAILED "kobject_uevent creat failed"
#define PELK_TEXT_UEVENT_ENV_FAILED "kobject_uevent_env failed"

/* Application health. */
#define PELK_TEXT_HEALTH_INIT "pelk_health init!\n"
#define PELK_TEXT_COMM_LIST_NOMEM "fail to malloc comm_list\n"
#define PELK_TEXT_HT_INIT_FAILED "rhashtable_init:falied"
#define PELK_TEXT_HT_INSERT_FAILED "Test failed insertion returned err %d\n"
#define PELK_TEXT_HEALTH_CTX_NOMEM "Failed to allocate memory for work data\n"
#define PELK_TEXT_HEALTH_WQ_FAILED "Failed to create workqueue\n"
#define PELK_TEXT_HEALTH_RECORD_NOMEM "Memory allocation failed\n"
#define PELK_TEXT_HEALTH_LINE "%s, 1min:%d, 5min:%d\n"

#endif /* _PELK_LOG_TEXTS_H */
