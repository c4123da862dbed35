// Sequence files: a file whose content a show routine prints into a buffer
// when it is read.  The buffer starts at one page and is doubled, and the
// record shown again, whenever a record does not fit.  Reads may take any
// number of bytes at a time; what a read does not take stays in the buffer
// for the next one.  The state lives in the file's private_data slot.
//
// Only the single-record form (single_open) is offered to modules, but the
// iterator below is the general one, so that reads behave like the kernel's
// at every offset.
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "backend.h"

namespace {

constexpr size_t kPageSize = 4096;
// The most one read or write can move, as the kernel caps it.
constexpr size_t kMaxRwCount = (size_t)INT_MAX & ~(kPageSize - 1);

#define SEQ_START_TOKEN ((void *)1)

struct seq_operations {
	void *(*start)(struct seq_file *m, loff_t *pos);
	void (*stop)(struct seq_file *m, void *v);
	void *(*next)(struct seq_file *m, void *v, loff_t *pos);
	int (*show)(struct seq_file *m, void *v);
};

inline bool is_err(const void *p)
{
	return (unsigned long)p >= (unsigned long)-MAX_ERRNO;
}
inline long ptr_err(const void *p) { return (long)p; }

}  // namespace

struct seq_file {
	char *buf;
	size_t size;
	size_t from;  // where the unread part of buf begins
	size_t count;  // bytes in buf from `from` on (or filled so far while showing)
	loff_t index;  // iterator position
	loff_t read_pos;  // file offset that the buffer's state corresponds to
	loff_t f_pos;  // the file position as the last read or seek left it
	const struct seq_operations *op;
	void *private_data;
	struct file *file;
};

namespace {

seq_file *seq_of(struct file *file)
{
	return (seq_file *)*__file_private_data(file);
}

bool seq_has_overflowed(const seq_file *m) { return m->count == m->size; }
void seq_set_overflow(seq_file *m) { m->count = m->size; }

char *seq_buf_alloc(size_t size)
{
	if (size > kMaxRwCount)
		return NULL;
	return (char *)kmalloc(size, GFP_KERNEL);
}

int seq_open(struct file *file, const struct seq_operations *op)
{
	seq_file *p = (seq_file *)kzalloc(sizeof(*p), GFP_KERNEL);

	if (!p)
		return -ENOMEM;
	*__file_private_data(file) = p;
	p->op = op;
	p->file = file;
	return 0;
}

int seq_release(struct inode *, struct file *file)
{
	seq_file *m = seq_of(file);

	kfree(m->buf);
	kfree(m);
	*__file_private_data(file) = NULL;
	return 0;
}

void *single_start(struct seq_file *, loff_t *pos)
{
	return *pos ? NULL : SEQ_START_TOKEN;
}

void *single_next(struct seq_file *, void *, loff_t *pos)
{
	++*pos;
	return NULL;
}

void single_stop(struct seq_file *, void *) {}

// Runs the iterator from the start up to byte `offset`, leaving the record
// that holds it in the buffer.  -EAGAIN asks for another try with the
// doubled buffer.
int traverse(seq_file *m, loff_t offset)
{
	loff_t pos = 0;
	int error = 0;
	void *p;

	m->index = 0;
	m->count = m->from = 0;
	if (!offset)
		return 0;

	if (!m->buf) {
		m->buf = seq_buf_alloc(m->size = kPageSize);
		if (!m->buf)
			return -ENOMEM;
	}
	p = m->op->start(m, &m->index);
	while (p) {
		error = (int)ptr_err(p);
		if (is_err(p))
			break;
		error = m->op->show(m, p);
		if (error < 0)
			break;
		if (error) {  // skip this record
			error = 0;
			m->count = 0;
		}
		if (seq_has_overflowed(m))
			goto overflow;
		p = m->op->next(m, p, &m->index);
		if (pos + (loff_t)m->count > offset) {
			m->from = (size_t)(offset - pos);
			m->count -= m->from;
			break;
		}
		pos += (loff_t)m->count;
		m->count = 0;
		if (pos == offset)
			break;
	}
	m->op->stop(m, p);
	return error;

overflow:
	m->op->stop(m, p);
	kfree(m->buf);
	m->count = 0;
	m->buf = seq_buf_alloc(m->size <<= 1);
	return !m->buf ? -ENOMEM : -EAGAIN;
}

}  // namespace

namespace {

void seq_vprintf(struct seq_file *m, const char *f, va_list args)
{
	if (m->count < m->size) {
		const int len = vsnprintf(m->buf + m->count, m->size - m->count, f, args);
		if (m->count + (size_t)len < m->size) {
			m->count += (size_t)len;
			return;
		}
	}
	seq_set_overflow(m);
}

}  // namespace

extern "C" {

void *seq_file_private(struct seq_file *m) { return m->private_data; }

void seq_printf(struct seq_file *m, const char *fmt, ...)
{
	va_list args;

	va_start(args, fmt);
	seq_vprintf(m, fmt, args);
	va_end(args);
}

void seq_puts(struct seq_file *m, const char *s)
{
	const size_t len = strlen(s);

	if (m->count + len >= m->size) {
		seq_set_overflow(m);
		return;
	}
	memcpy(m->buf + m->count, s, len);
	m->count += len;
}

int single_open(struct file *file, int (*show)(struct seq_file *, void *), void *data)
{
	seq_operations *op = (seq_operations *)kmalloc(sizeof(*op), GFP_KERNEL);
	int res = -ENOMEM;

	if (op) {
		op->start = single_start;
		op->next = single_next;
		op->stop = single_stop;
		op->show = show;
		res = seq_open(file, op);
		if (!res)
			seq_of(file)->private_data = data;
		else
			kfree(op);
	}
	return res;
}

int single_release(struct inode *inode, struct file *file)
{
	const seq_operations *op = seq_of(file)->op;
	const int res = seq_release(inode, file);

	kfree(op);
	return res;
}

ssize_t seq_read(struct file *file, char __user *ubuf, size_t size, loff_t *ppos)
{
	seq_file *m = seq_of(file);
	size_t copied = 0;
	size_t n;
	void *p;
	int err = 0;

	if (!size)
		return 0;
	if (size > kMaxRwCount)
		size = kMaxRwCount;

	// A read from offset 0 starts over with the first record.
	if (*ppos == 0) {
		m->index = 0;
		m->count = 0;
	}

	// Somewhere else than where the last read stopped: rebuild the
	// buffer's state for that offset.
	if (*ppos != m->read_pos) {
		while ((err = traverse(m, *ppos)) == -EAGAIN)
			;
		if (err) {
			m->read_pos = 0;
			m->index = 0;
			m->count = 0;
			goto done;
		}
		m->read_pos = *ppos;
	}

	if (!m->buf) {
		m->buf = seq_buf_alloc(m->size = kPageSize);
		if (!m->buf)
			goto enomem;
	}
	// What an earlier read left in the buffer goes first.
	if (m->count) {
		n = m->count < size ? m->count : size;
		memcpy(ubuf, m->buf + m->from, n);
		m->count -= n;
		m->from += n;
		copied += n;
		if (m->count)
			goto done;
	}
	// Get a non-empty record into the buffer.
	m->from = 0;
	p = m->op->start(m, &m->index);
	for (;;) {
		err = (int)ptr_err(p);
		if (!p || is_err(p))  // end of file or an error
			break;
		err = m->op->show(m, p);
		if (err < 0)
			break;
		if (err)  // the show routine skips this record
			m->count = 0;
		if (!m->count) {
			p = m->op->next(m, p, &m->index);
			continue;
		}
		if (!seq_has_overflowed(m))
			goto fill;
		// Too big for the buffer: double it and show the record again.
		m->op->stop(m, p);
		kfree(m->buf);
		m->count = 0;
		m->buf = seq_buf_alloc(m->size <<= 1);
		if (!m->buf)
			goto enomem;
		p = m->op->start(m, &m->index);
	}
	m->op->stop(m, p);
	m->count = 0;
	goto done;

fill:
	// One record is in the buffer; add more while the reader wants more
	// and they fit, advancing the iterator once per record shown.
	for (;;) {
		const size_t offs = m->count;
		const loff_t pos = m->index;

		p = m->op->next(m, p, &m->index);
		if (pos == m->index)
			m->index++;
		if (!p || is_err(p))
			break;
		if (m->count >= size - copied)
			break;
		err = m->op->show(m, p);
		if (err > 0) {
			m->count = offs;
		} else if (err || seq_has_overflowed(m)) {
			m->count = offs;
			break;
		}
	}
	m->op->stop(m, p);
	n = m->count < size - copied ? m->count : size - copied;
	memcpy(ubuf + copied, m->buf, n);
	copied += n;
	m->count -= n;
	m->from = n;

done:
	if (!copied)
		return m->count ? -EFAULT : err;
	*ppos += (loff_t)copied;
	m->read_pos += (loff_t)copied;
	m->f_pos = *ppos;
	return (ssize_t)copied;

enomem:
	err = -ENOMEM;
	goto done;
}

loff_t seq_lseek(struct file *file, loff_t offset, int whence)
{
	seq_file *m = seq_of(file);
	loff_t retval = -EINVAL;

	switch (whence) {
	case SEEK_CUR:
		offset += m->f_pos;
		[[fallthrough]];
	case SEEK_SET:
		if (offset < 0)
			break;
		retval = offset;
		if (offset != m->read_pos) {
			while ((retval = traverse(m, offset)) == -EAGAIN)
				;
			if (retval) {
				m->f_pos = 0;
				m->read_pos = 0;
				m->index = 0;
				m->count = 0;
			} else {
				m->read_pos = offset;
				retval = m->f_pos = offset;
			}
		} else {
			m->f_pos = offset;
		}
	}
	return retval;
}

}  // extern "C"
