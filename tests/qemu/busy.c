/* busy NAME THREADS: a process named NAME whose THREADS threads spin on the
 * CPU until killed; the spinning threads are named NAME_0, NAME_1... cut to
 * 15 characters.  With THREADS 0 the main thread spins itself; otherwise it
 * sleeps.  Test helper of the qemu test. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

static void *spin(void *arg)
{
	volatile unsigned long n = 0;

	(void)arg;
	for (;;)
		n++;
	return NULL;
}

int main(int argc, char **argv)
{
	int threads, i;

	if (argc != 3)
		return 2;
	threads = atoi(argv[2]);
	prctl(PR_SET_NAME, argv[1], 0, 0, 0);
	for (i = 0; i < threads; i++) {
		pthread_t t;
		char name[16];

		snprintf(name, sizeof(name), "%.12s_%d", argv[1], i);
		if (pthread_create(&t, NULL, spin, NULL))
			return 1;
		pthread_setname_np(t, name);
	}
	if (threads == 0)
		spin(NULL);
	for (;;)
		pause();
}
