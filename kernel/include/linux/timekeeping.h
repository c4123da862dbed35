#include <linux/ktime.h>
