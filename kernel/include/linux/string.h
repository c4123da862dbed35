#ifndef _LINUX_STRING_H
#define _LINUX_STRING_H

#include <linux/types.h>

__BEGIN_DECLS
void *memcpy(void *dst, const void *src, size_t n);
void *memmove(void *dst, const void *src, size_t n);
void *memset(void *s, int c, size_t n);
int memcmp(const void *a, const void *b, size_t n);
size_t strlen(const char *s);
size_t strnlen(const char *s, size_t maxlen);
int strcmp(const char *a, const char *b);
int strncmp(const char *a, const char *b, size_t n);
char *strncpy(char *dst, const char *src, size_t n);
/* Copies at most size-1 characters and always terminates (size > 0);
 * returns the number copied or -E2BIG when src had to be cut. */
ssize_t strscpy(char *dst, const char *src, size_t size);
__END_DECLS

#endif
