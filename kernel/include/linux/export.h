#include <linux/module.h>
