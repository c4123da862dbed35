// String helpers the C library does not have.
#include <linux/errno.h>
#include <linux/string.h>

extern "C" ssize_t strscpy(char *dst, const char *src, size_t size)
{
	// Sizes beyond INT_MAX are taken for a converted negative number.
	if (size == 0 || size > (size_t)INT_MAX)
		return -E2BIG;

	size_t i;
	for (i = 0; i < size - 1 && src[i]; i++)
		dst[i] = src[i];
	dst[i] = '\0';
	if (i == size - 1 && src[i])
		return -E2BIG;
	return (ssize_t)i;
}
