// Whole-string number parsing with the kernel's rules: an optional '+' (and
// '-' for the signed forms), base 0 taking "0x" as hex and a leading 0 as
// octal, at most one trailing newline, nothing else around the digits.  The
// result is written only on success.
#include <linux/errno.h>
#include <linux/kernel.h>

namespace {

constexpr unsigned int kOverflow = 1u << 31;

inline char lower(char c) { return (char)(c | 0x20); }
inline bool is_xdigit(char c)
{
	return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f');
}

// Settles the base and skips a "0x" prefix where it applies.  "0x" counts as
// a prefix under base 0 only when a hex digit follows it.
const char *fixup_radix(const char *s, unsigned int *base)
{
	if (*base == 0) {
		if (s[0] == '0') {
			if (lower(s[1]) == 'x' && is_xdigit(s[2]))
				*base = 16;
			else
				*base = 8;
		} else {
			*base = 10;
		}
	}
	if (*base == 16 && s[0] == '0' && lower(s[1]) == 'x')
		s += 2;
	return s;
}

// Digits consumed, with kOverflow or-ed in when the value did not fit.
unsigned int parse_digits(const char *s, unsigned int base, unsigned long long *p)
{
	unsigned long long res = 0;
	unsigned int rv = 0;

	for (;; s++) {
		const unsigned int c = (unsigned char)*s;
		const unsigned int lc = c | 0x20;
		unsigned int val;

		if (c >= '0' && c <= '9')
			val = c - '0';
		else if (lc >= 'a' && lc <= 'f')
			val = lc - 'a' + 10;
		else
			break;
		if (val >= base)
			break;
		if (res > (~0ull - val) / base)
			rv |= kOverflow;
		res = res * base + val;
		rv++;
	}
	*p = res;
	return rv;
}

int parse_ull(const char *s, unsigned int base, unsigned long long *res)
{
	unsigned long long value;

	s = fixup_radix(s, &base);
	const unsigned int rv = parse_digits(s, base, &value);
	if (rv & kOverflow)
		return -ERANGE;
	if (rv == 0)
		return -EINVAL;
	s += rv;
	if (*s == '\n')
		s++;
	if (*s)
		return -EINVAL;
	*res = value;
	return 0;
}

int parse_ll(const char *s, unsigned int base, long long *res)
{
	unsigned long long tmp;
	int rv;

	if (s[0] == '-') {
		rv = parse_ull(s + 1, base, &tmp);
		if (rv < 0)
			return rv;
		if ((long long)(0ull - tmp) > 0)
			return -ERANGE;
		*res = (long long)(0ull - tmp);
	} else {
		rv = kstrtoull(s, base, &tmp);
		if (rv < 0)
			return rv;
		if ((long long)tmp < 0)
			return -ERANGE;
		*res = (long long)tmp;
	}
	return 0;
}

}  // namespace

extern "C" {

int kstrtoull(const char *s, unsigned int base, unsigned long long *res)
{
	if (s[0] == '+')
		s++;
	return parse_ull(s, base, res);
}

int kstrtouint(const char *s, unsigned int base, unsigned int *res)
{
	unsigned long long tmp;
	const int rv = kstrtoull(s, base, &tmp);

	if (rv < 0)
		return rv;
	if (tmp != (unsigned int)tmp)
		return -ERANGE;
	*res = (unsigned int)tmp;
	return 0;
}

int kstrtoint(const char *s, unsigned int base, int *res)
{
	long long tmp;
	const int rv = parse_ll(s, base, &tmp);

	if (rv < 0)
		return rv;
	if (tmp != (int)tmp)
		return -ERANGE;
	*res = (int)tmp;
	return 0;
}

}  // extern "C"
