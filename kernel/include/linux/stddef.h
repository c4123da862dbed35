/* offsetof and sizeof_field, as the kernel's linux/stddef.h gives them. */
#ifndef _LINUX_STDDEF_H
#define _LINUX_STDDEF_H

#undef offsetof
#define offsetof(TYPE, MEMBER) __builtin_offsetof(TYPE, MEMBER)
#define sizeof_field(TYPE, MEMBER) sizeof((((TYPE *)0)->MEMBER))

#endif
