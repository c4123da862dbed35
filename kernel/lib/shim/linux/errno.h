/* Host builds only: the C library reaches <linux/errno.h> for its own error
 * numbers, so this directory comes first on the host include path and gives
 * it both the host's full list and the kernel-facility definitions. */
#include <asm/errno.h>
#include_next <linux/errno.h>
