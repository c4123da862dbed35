#ifndef _LINUX_KOBJECT_H
#define _LINUX_KOBJECT_H

#include <linux/types.h>

struct kobject;

enum kobject_action {
	KOBJ_ADD,
	KOBJ_REMOVE,
	KOBJ_CHANGE,
	KOBJ_MOVE,
	KOBJ_ONLINE,
	KOBJ_OFFLINE,
	KOBJ_BIND,
	KOBJ_UNBIND,
};

__BEGIN_DECLS
int kobject_uevent(struct kobject *kobj, enum kobject_action action);
/* envp_ext: extra "KEY=value" entries, NULL-terminated. */
int kobject_uevent_env(struct kobject *kobj, enum kobject_action action, char *envp_ext[]);
__END_DECLS

#endif
