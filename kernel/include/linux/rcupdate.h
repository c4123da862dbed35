#ifndef _LINUX_RCUPDATE_H
#define _LINUX_RCUPDATE_H

#include <linux/types.h>

__BEGIN_DECLS
/* Read-side critical sections nest; nothing inside one may sleep. */
void rcu_read_lock(void);
void rcu_read_unlock(void);
/* Waits until every reader that started before the call has left. */
void synchronize_rcu(void);
__END_DECLS

#endif
