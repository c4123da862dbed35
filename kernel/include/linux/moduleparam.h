/* Module parameters: each is a struct kernel_param placed in the module's
 * "__param" section, where the loader finds it by name. */
#ifndef _LINUX_MODULEPARAM_H
#define _LINUX_MODULEPARAM_H

#include <linux/types.h>

struct kernel_param;

struct kernel_param_ops {
	unsigned int flags;
	/* Parses val into the parameter; 0 or a negative errno (the old value stays). */
	int (*set)(const char *val, const struct kernel_param *kp);
	/* Writes the value and a newline into a page-sized buffer; returns its length. */
	int (*get)(char *buffer, const struct kernel_param *kp);
	void (*free)(void *arg);
};

struct kernel_param {
	const char *name;
	void *mod;
	const struct kernel_param_ops *ops;
	unsigned short perm;
	signed char level;
	unsigned char flags;
	void *arg;
};

__BEGIN_DECLS
extern const struct kernel_param_ops param_ops_int;
int param_set_int(const char *val, const struct kernel_param *kp);
int param_get_int(char *buffer, const struct kernel_param *kp);
__END_DECLS

#define module_param_cb(name, ops, arg, perm) \
	static const struct kernel_param __param_##name \
	__attribute__((used, section("__param"), aligned(sizeof(void *)))) = { \
		#name, NULL, (ops), (perm), -1, 0, (void *)(arg) }

#define module_param_named(name, value, type, perm) \
	module_param_cb(name, &param_ops_##type, &(value), perm)

#define module_param(name, type, perm) module_param_named(name, name, type, perm)

#endif
