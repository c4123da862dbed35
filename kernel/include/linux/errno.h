#ifndef _LINUX_ERRNO_H
#define _LINUX_ERRNO_H

#define EPERM 1
#define ENOENT 2
#define ESRCH 3
#define EIO 5
#define E2BIG 7
#define ENOEXEC 8
#define EAGAIN 11
#define ENOMEM 12
#define EACCES 13
#define EFAULT 14
#define EBUSY 16
#define EEXIST 17
#define ENODEV 19
#define EINVAL 22
#define ENOSPC 28
#define ERANGE 34
#define EWOULDBLOCK EAGAIN

#define MAX_ERRNO 4095
#define IS_ERR_VALUE(x) ((unsigned long)(void *)(x) >= (unsigned long)-MAX_ERRNO)

#endif
