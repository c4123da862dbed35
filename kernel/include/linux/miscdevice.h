#ifndef _LINUX_MISCDEVICE_H
#define _LINUX_MISCDEVICE_H

#include <linux/types.h>
#include <linux/device.h>
#include <linux/fs.h>

#define MISC_MAJOR 10
#define MISC_DYNAMIC_MINOR 255

struct miscdevice {
	int minor;
	const char *name;
	const struct file_operations *fops;
	/* Set by misc_register: the device in the misc class. */
	struct device *this_device;
	const char *nodename;
	umode_t mode;
	unsigned long __opaque[4];
};

__BEGIN_DECLS
/* 0, or -EBUSY / -EINVAL / -ENOMEM; a dynamic minor is chosen for 255. */
int misc_register(struct miscdevice *misc);
void misc_deregister(struct miscdevice *misc);
__END_DECLS

#endif
