#include <linux/sched.h>
