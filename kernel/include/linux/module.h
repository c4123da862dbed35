/* Module entry points, metadata, parameters and exported symbols.
 *
 * The loader finds everything through the module's sections, as the kernel's
 * does: "__param" (parameters), "__ksymtab" and "__ksymtab_gpl" (exports) and
 * "__modinfo" (NUL-separated key=value strings).  The module names them through
 * __module_layout(), which module_init() defines. */
#ifndef _LINUX_MODULE_H
#define _LINUX_MODULE_H

#include <linux/types.h>
#include <linux/moduleparam.h>

struct kernel_symbol {
	void *value;
	const char *name;
};

/* Where the loader finds a module's tables; bounds are [start, stop). */
struct module_layout {
	int (*init)(void);
	void (*exit)(void);
	const struct kernel_param *param_start, *param_stop;
	const struct kernel_symbol *ksym_start, *ksym_stop;
	const struct kernel_symbol *ksym_gpl_start, *ksym_gpl_stop;
	const char *modinfo_start, *modinfo_stop;
};

__BEGIN_DECLS
/* Resolves an exported symbol of a loaded module and holds that module
 * until symbol_put; NULL when no module exports it (or the caller's licence
 * may not use a GPL-only export). */
void *__symbol_get(const char *name);
void __symbol_put(const char *name);

extern const struct kernel_param __start___param[] __attribute__((weak, visibility("hidden")));
extern const struct kernel_param __stop___param[] __attribute__((weak, visibility("hidden")));
extern const struct kernel_symbol __start___ksymtab[] __attribute__((weak, visibility("hidden")));
extern const struct kernel_symbol __stop___ksymtab[] __attribute__((weak, visibility("hidden")));
extern const struct kernel_symbol __start___ksymtab_gpl[] __attribute__((weak, visibility("hidden")));
extern const struct kernel_symbol __stop___ksymtab_gpl[] __attribute__((weak, visibility("hidden")));
extern const char __start___modinfo[] __attribute__((weak, visibility("hidden")));
extern const char __stop___modinfo[] __attribute__((weak, visibility("hidden")));
__END_DECLS

#define symbol_get(x) ((__typeof__(&x))(__symbol_get(#x)))
#define symbol_put(x) __symbol_put(#x)

#define __MODULE_INFO(tag, name, info) \
	static const char __modinfo_##name[] \
	__attribute__((used, section("__modinfo"), aligned(1))) = #tag "=" info

#define MODULE_LICENSE(l) __MODULE_INFO(license, license, l)
#define MODULE_AUTHOR(a) __MODULE_INFO(author, author, a)
#define MODULE_DESCRIPTION(d) __MODULE_INFO(description, description, d)
/* The name the module is known by (insmod/rmmod, /sys/module). */
#define MODULE_NAME(n) __MODULE_INFO(name, name, n)

#define __EXPORT_SYMBOL(sym, sec) \
	static const struct kernel_symbol __ksymtab_##sym \
	__attribute__((used, section(sec), aligned(sizeof(void *)))) = { \
		(void *)&sym, #sym }

#define EXPORT_SYMBOL(sym) __EXPORT_SYMBOL(sym, "__ksymtab")
#define EXPORT_SYMBOL_GPL(sym) __EXPORT_SYMBOL(sym, "__ksymtab_gpl")

/* The loader's entry into the module: init_module/cleanup_module as in the
 * kernel, and the module's tables.  The table points at module-local
 * functions, so that it can never bind to some other object's init_module. */
#define module_init(initfn) \
	static int initfn(void); \
	static int __module_initcall(void) { return initfn(); } \
	extern "C" __attribute__((visibility("default"))) int init_module(void) \
	{ return __module_initcall(); }

#define module_exit(exitfn) \
	static void exitfn(void); \
	static void __module_exitcall(void) { exitfn(); } \
	extern "C" __attribute__((visibility("default"))) void cleanup_module(void) \
	{ __module_exitcall(); } \
	extern "C" __attribute__((visibility("default"))) \
	const struct module_layout *__module_layout(void) \
	{ \
		static const struct module_layout layout = { \
			__module_initcall, __module_exitcall, \
			__start___param, __stop___param, \
			__start___ksymtab, __stop___ksymtab, \
			__start___ksymtab_gpl, __stop___ksymtab_gpl, \
			__start___modinfo, __stop___modinfo }; \
		return &layout; \
	}

#endif
