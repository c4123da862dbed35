#ifndef _LINUX_FS_H
#define _LINUX_FS_H

#include <linux/types.h>

struct inode;
struct file;
struct file_operations;

#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

#endif
