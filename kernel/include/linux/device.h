#ifndef _LINUX_DEVICE_H
#define _LINUX_DEVICE_H

#include <linux/types.h>

struct device;
struct kobject;

__BEGIN_DECLS
/* The kernel object of a device (the kernel's &dev->kobj). */
struct kobject *device_kobject(struct device *dev);
__END_DECLS

#endif
