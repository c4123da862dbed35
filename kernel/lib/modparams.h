/* Module loading helpers shared by every backend's loader: the kernel's own
 * parsing of "param=value ..." strings, parameter name matching and the
 * modinfo look-up.  For loaders, not for modules. */
#ifndef _PELK_LIB_MODPARAMS_H
#define _PELK_LIB_MODPARAMS_H

#include <linux/types.h>

__BEGIN_DECLS
/* One "param[=value]" of args, double quotes protecting blanks; *val is NULL
 * when there is no '='.  Returns the rest, blanks skipped.  args is cut in place. */
char *next_arg(char *args, char **param, char **val);
char *skip_spaces(const char *str);
/* Parameter names match with '-' and '_' taken as the same. */
bool parameq(const char *a, const char *b);
/* The value of "key=value" among the NUL-separated strings [start, stop), or NULL. */
const char *modinfo_get(const char *start, const char *stop, const char *key);
__END_DECLS

#endif
