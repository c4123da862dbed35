#ifndef _LINUX_RANDOM_H
#define _LINUX_RANDOM_H

#include <linux/types.h>

__BEGIN_DECLS
u32 get_random_u32(void);
__END_DECLS

#endif
