#ifndef _LINUX_PROC_FS_H
#define _LINUX_PROC_FS_H

#include <linux/types.h>
#include <linux/fs.h>

struct proc_dir_entry;
struct poll_table_struct;
struct vm_area_struct;

/* The operations of a proc file, in the kernel's order. */
struct proc_ops {
	unsigned int proc_flags;
	int (*proc_open)(struct inode *inode, struct file *file);
	ssize_t (*proc_read)(struct file *file, char __user *buf, size_t count, loff_t *pos);
	ssize_t (*proc_read_iter)(void *iocb, void *iter);
	ssize_t (*proc_write)(struct file *file, const char __user *buf, size_t count, loff_t *pos);
	loff_t (*proc_lseek)(struct file *file, loff_t offset, int whence);
	int (*proc_release)(struct inode *inode, struct file *file);
	__poll_t (*proc_poll)(struct file *file, struct poll_table_struct *pt);
	long (*proc_ioctl)(struct file *file, unsigned int cmd, unsigned long arg);
	long (*proc_compat_ioctl)(struct file *file, unsigned int cmd, unsigned long arg);
	int (*proc_mmap)(struct file *file, struct vm_area_struct *vma);
	unsigned long (*proc_get_unmapped_area)(struct file *file, unsigned long addr,
						unsigned long len, unsigned long pgoff,
						unsigned long flags);
};

__BEGIN_DECLS
/* parent NULL means the proc root.  NULL on failure. */
struct proc_dir_entry *proc_mkdir(const char *name, struct proc_dir_entry *parent);
struct proc_dir_entry *proc_create(const char *name, umode_t mode,
				   struct proc_dir_entry *parent,
				   const struct proc_ops *proc_ops);
struct proc_dir_entry *proc_create_data(const char *name, umode_t mode,
					struct proc_dir_entry *parent,
					const struct proc_ops *proc_ops, void *data);
void remove_proc_entry(const char *name, struct proc_dir_entry *parent);
/* Removes the entry and everything below it; NULL is ignored. */
void proc_remove(struct proc_dir_entry *de);
/* The data given to proc_create_data for the file of this inode. */
void *PDE_DATA(const struct inode *inode);
__END_DECLS

#endif
