/* stress MODE ARGS: the load generators of the qemu stress test, each
 * running until /tmp/stop exists and then printing what it did on one line.
 *
 *   stress storm                processes started and reaped as fast as they
 *                               come: prints the count and how many times
 *                               the pid numbers wrapped
 *   stress threads NAME BATCH SECONDS
 *                               a process named NAME whose threads come and go
 *                               BATCH at a time (each spins a little, sleeps,
 *                               ends); after SECONDS it exits with a batch
 *                               still running, as a crashing server would
 *   stress rename NAME...       renames itself through the NAMEs in turn,
 *                               spinning a few milliseconds under each
 *   stress procs N SECONDS      N sleeping processes kept for SECONDS
 *   stress timeit RUNS CMD...   runs CMD (output to /dev/null) RUNS times and
 *                               prints the median and the least wall time
 *
 * Test helper of the qemu stress test (static, like busy.c). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int stopped(void)
{
	return access("/tmp/stop", F_OK) == 0;
}

static void spin_ms(long ms)
{
	struct timespec a, b;

	clock_gettime(CLOCK_MONOTONIC, &a);
	do
		clock_gettime(CLOCK_MONOTONIC, &b);
	while ((b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000 < ms);
}

static int storm(void)
{
	unsigned long forks = 0, wraps = 0;
	pid_t last = 0;

	while (!stopped()) {
		pid_t pid = fork();

		if (pid == 0)
			_exit(0);
		if (pid < 0) {
			usleep(1000);
			continue;
		}
		if (pid < last)
			wraps++;
		last = pid;
		forks++;
		waitpid(pid, NULL, 0);
		/* Under TCG all the guest's CPUs share one host thread: leave
		 * the rest of the stress some of it. */
		if (forks % 20 == 0)
			usleep(20000);
	}
	printf("storm: %lu processes, pid numbers wrapped %lu times\n", forks, wraps);
	return 0;
}

static void *short_thread(void *arg)
{
	(void)arg;
	spin_ms(1);
	usleep(20000);
	return NULL;
}

static int threads(const char *name, int batch, int seconds)
{
	time_t end = time(NULL) + seconds;
	unsigned long made = 0;
	pthread_t *t = calloc(batch, sizeof(*t));

	if (!t)
		return 1;
	prctl(PR_SET_NAME, name, 0, 0, 0);
	while (!stopped()) {
		int i, n = 0;

		for (i = 0; i < batch; i++) {
			if (pthread_create(&t[n], NULL, short_thread, NULL) == 0) {
				char tname[16];

				snprintf(tname, sizeof(tname), "%.12s_%d", name, i % 100);
				pthread_setname_np(t[n], tname);
				n++;
			}
		}
		if (time(NULL) >= end) {
			/* Ends with the batch running: exit() takes the threads down. */
			printf("threads: %s made %lu threads\n", name, made + n);
			exit(0);
		}
		for (i = 0; i < n; i++)
			pthread_join(t[i], NULL);
		made += n;
		usleep(50000);
	}
	printf("threads: %s made %lu threads\n", name, made);
	return 0;
}

static int rename_loop(int n, char **names)
{
	unsigned long renames = 0;

	while (!stopped()) {
		prctl(PR_SET_NAME, names[renames % n], 0, 0, 0);
		renames++;
		spin_ms(5);
		usleep(5000);
	}
	printf("rename: %lu renames\n", renames);
	return 0;
}

static int procs(int n, int seconds)
{
	int i, made = 0;

	for (i = 0; i < n; i++) {
		pid_t pid = fork();

		if (pid == 0) {
			sleep(seconds);
			_exit(0);
		}
		if (pid > 0)
			made++;
	}
	printf("procs: %d sleeping processes\n", made);
	fflush(stdout);
	while (wait(NULL) > 0 || errno == EINTR)
		;
	return 0;
}

static int cmp_long(const void *a, const void *b)
{
	long x = *(const long *)a, y = *(const long *)b;

	return (x > y) - (x < y);
}

static int timeit(int runs, char **cmd)
{
	long us[64];
	int i;

	if (runs < 1 || runs > 64)
		return 2;
	for (i = 0; i < runs; i++) {
		struct timespec a, b;
		pid_t pid;

		clock_gettime(CLOCK_MONOTONIC, &a);
		pid = fork();
		if (pid == 0) {
			int fd = open("/dev/null", O_WRONLY);

			dup2(fd, 1);
			execvp(cmd[0], cmd);
			_exit(127);
		}
		waitpid(pid, NULL, 0);
		clock_gettime(CLOCK_MONOTONIC, &b);
		us[i] = (b.tv_sec - a.tv_sec) * 1000000 + (b.tv_nsec - a.tv_nsec) / 1000;
	}
	qsort(us, runs, sizeof(us[0]), cmp_long);
	printf("timeit: median %ld us, least %ld us\n", us[runs / 2], us[0]);
	return 0;
}

int main(int argc, char **argv)
{
	setvbuf(stdout, NULL, _IOLBF, 0);
	if (argc == 2 && !strcmp(argv[1], "storm"))
		return storm();
	if (argc == 5 && !strcmp(argv[1], "threads"))
		return threads(argv[2], atoi(argv[3]), atoi(argv[4]));
	if (argc >= 3 && !strcmp(argv[1], "rename"))
		return rename_loop(argc - 2, argv + 2);
	if (argc == 4 && !strcmp(argv[1], "procs"))
		return procs(atoi(argv[2]), atoi(argv[3]));
	if (argc >= 4 && !strcmp(argv[1], "timeit"))
		return timeit(atoi(argv[2]), argv + 3);
	fprintf(stderr, "usage: stress storm | threads NAME BATCH SECONDS | rename NAME... | procs N SECONDS | timeit RUNS CMD...\n");
	return 2;
}
