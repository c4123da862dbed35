// Formatted output into buffers with the kernel's rules: its flags, widths,
// precisions and length modifiers, its truncation and return values, and its
// hashed %p.  Never the C library's printf, whose corner cases differ (a
// precision of 0 still prints the digit 0, "%.d" means no precision, a
// negative "*" precision counts as 0, ...).
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/string.h>

#include "backend.h"

namespace {

constexpr unsigned long kPageSize = 4096;

enum FormatType : unsigned {
	T_NONE,  // literal text
	T_WIDTH,  // "*" width: the next argument is the width
	T_PRECISION,  // "*" precision
	T_CHAR,
	T_STR,
	T_PTR,
	T_PERCENT,
	T_INVALID,
	T_LONG_LONG,
	T_ULONG,
	T_LONG,
	T_UBYTE,
	T_BYTE,
	T_USHORT,
	T_SHORT,
	T_UINT,
	T_INT,
	T_SIZE_T,
	T_PTRDIFF,
};

enum : unsigned {
	SIGN = 1,  // signed conversion; adds 1 to an unsigned type to get its signed one
	LEFT = 2,
	PLUS = 4,
	SPACE = 8,
	ZEROPAD = 16,  // '0' - ' ', so that ' ' + (flags & ZEROPAD) is the pad character
	SMALL = 32,  // 'a' ^ 'A': lower-case hex digits
	SPECIAL = 64,  // '#'
};

// The kernel keeps a conversion in 8 bytes; the field sizes decide how
// out-of-range widths and precisions wrap, so they are kept as they are.
struct PrintfSpec {
	unsigned int type : 8;
	signed int field_width : 24;
	unsigned int flags : 8;
	unsigned int base : 8;
	signed int precision : 16;
};
static_assert(sizeof(PrintfSpec) == 8);

constexpr int kFieldWidthMax = (1 << 23) - 1;
constexpr int kPrecisionMax = (1 << 15) - 1;

const char kUpperDigits[] = "0123456789ABCDEF";

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_alnum(char c)
{
	return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int skip_atoi(const char **s)
{
	unsigned int i = 0;

	while (is_digit(**s))
		i = i * 10 + (unsigned int)(*((*s)++) - '0');
	return (int)i;
}

// Writes ch at *buf when there is room; the position moves on regardless, so
// the final position gives the length the whole text would have had.
inline void put(char *&buf, const char *end, char ch)
{
	if (buf < end)
		*buf = ch;
	++buf;
}

char *number(char *buf, char *end, unsigned long long num, PrintfSpec pspec)
{
	char tmp[3 * sizeof(num)];
	char sign = 0;
	const char locase = (char)(pspec.flags & SMALL);
	const bool need_pfx = (pspec.flags & SPECIAL) && pspec.base != 10;
	const bool is_zero = num == 0;
	int field_width = pspec.field_width;
	int precision = pspec.precision;
	int i = 0;

	if (pspec.flags & LEFT)
		pspec.flags &= ~ZEROPAD;
	if (pspec.flags & SIGN) {
		if ((long long)num < 0) {
			sign = '-';
			num = 0ull - num;
			field_width--;
		} else if (pspec.flags & PLUS) {
			sign = '+';
			field_width--;
		} else if (pspec.flags & SPACE) {
			sign = ' ';
			field_width--;
		}
	}
	if (need_pfx) {
		if (pspec.base == 16)
			field_width -= 2;
		else if (!is_zero)
			field_width--;
	}

	// Digits, least significant first.
	if (pspec.base == 10) {
		do {
			tmp[i++] = (char)('0' + num % 10);
			num /= 10;
		} while (num);
	} else {
		const unsigned shift = pspec.base == 16 ? 4 : 3;
		const unsigned mask = pspec.base - 1;

		do {
			tmp[i++] = (char)(kUpperDigits[num & mask] | locase);
			num >>= shift;
		} while (num);
	}

	// The digits are never cut: 100 in "%2d" or "%.1d" stays "100".
	if (i > precision)
		precision = i;
	field_width -= precision;
	if (!(pspec.flags & (ZEROPAD | LEFT)))
		while (--field_width >= 0)
			put(buf, end, ' ');
	if (sign)
		put(buf, end, sign);
	if (need_pfx) {
		if (pspec.base == 16 || !is_zero)
			put(buf, end, '0');
		if (pspec.base == 16)
			put(buf, end, (char)('X' | locase));
	}
	if (!(pspec.flags & LEFT)) {
		const char c = (char)(' ' + (pspec.flags & ZEROPAD));

		while (--field_width >= 0)
			put(buf, end, c);
	}
	while (i <= --precision)
		put(buf, end, '0');
	while (--i >= 0)
		put(buf, end, tmp[i]);
	while (--field_width >= 0)
		put(buf, end, ' ');
	return buf;
}

// Shifts the n characters just written right by spaces, as far as the
// buffer allows, and fills the gap with blanks.
void move_right(char *buf, char *end, unsigned len, unsigned spaces)
{
	if (buf >= end)
		return;
	const size_t size = (size_t)(end - buf);
	if (size <= spaces) {
		memset(buf, ' ', size);
		return;
	}
	if (len) {
		if (len > size - spaces)
			len = (unsigned)(size - spaces);
		memmove(buf + spaces, buf, len);
	}
	memset(buf, ' ', spaces);
}

char *widen_string(char *buf, int n, char *end, PrintfSpec pspec)
{
	if (n >= pspec.field_width)
		return buf;
	unsigned spaces = (unsigned)(pspec.field_width - n);
	if (!(pspec.flags & LEFT)) {
		move_right(buf - n, end, (unsigned)n, spaces);
		return buf + spaces;
	}
	while (spaces--)
		put(buf, end, ' ');
	return buf;
}

char *string_nocheck(char *buf, char *end, const char *s, PrintfSpec pspec)
{
	int len = 0;
	int lim = pspec.precision;  // -1: no limit (for all practical purposes)

	while (lim--) {
		const char c = *s++;
		if (!c)
			break;
		put(buf, end, c);
		++len;
	}
	return widen_string(buf, len, end, pspec);
}

// The replacement text for a pointer that cannot be followed; without a
// precision it is cut to 16 characters.
char *error_string(char *buf, char *end, const char *s, PrintfSpec pspec)
{
	if (pspec.precision == -1)
		pspec.precision = 2 * sizeof(void *);
	return string_nocheck(buf, end, s, pspec);
}

inline bool is_err_value(const void *p)
{
	return (unsigned long)p >= (unsigned long)-MAX_ERRNO;
}

char *string(char *buf, char *end, const char *s, PrintfSpec pspec)
{
	if (!s)
		return error_string(buf, end, "(null)", pspec);
	if ((unsigned long)s < kPageSize || is_err_value(s))
		return error_string(buf, end, "(efault)", pspec);
	return string_nocheck(buf, end, s, pspec);
}

// Hex, zero-padded to 16 digits unless a width was given.
char *pointer_string(char *buf, char *end, unsigned long value, PrintfSpec pspec)
{
	pspec.base = 16;
	pspec.flags |= SMALL;
	if (pspec.field_width == -1) {
		pspec.field_width = 2 * sizeof(void *);
		pspec.flags |= ZEROPAD;
	}
	return number(buf, end, value, pspec);
}

// Plain %p: NULL and error pointers are printed as they are (they are not
// addresses); any other pointer as its 32-bit id, never the address.
char *pointer(char *buf, char *end, const void *ptr, PrintfSpec pspec)
{
	if (!ptr || is_err_value(ptr))
		return pointer_string(buf, end, (unsigned long)ptr, pspec);
	return pointer_string(buf, end, __ptr_hash_id(ptr), pspec);
}

// Decodes the next piece of fmt into pspec and returns how many characters
// of fmt it took: a run of literal text, or one conversion.  A "*" width or
// precision ends a piece early; the next call goes on from there.
int format_decode(const char *fmt, PrintfSpec *pspec)
{
	const char *start = fmt;
	char qualifier;

	if (pspec->type == T_WIDTH) {
		if (pspec->field_width < 0) {
			pspec->field_width = -pspec->field_width;
			pspec->flags |= LEFT;
		}
		pspec->type = T_NONE;
		goto precision;
	}
	if (pspec->type == T_PRECISION) {
		if (pspec->precision < 0)
			pspec->precision = 0;
		pspec->type = T_NONE;
		goto qualifier;
	}

	pspec->type = T_NONE;
	while (*fmt && *fmt != '%')
		++fmt;
	if (fmt != start || !*fmt)
		return (int)(fmt - start);

	pspec->flags = 0;
	for (;;) {
		++fmt;  // the first time round, past the '%'
		if (*fmt == '-')
			pspec->flags |= LEFT;
		else if (*fmt == '+')
			pspec->flags |= PLUS;
		else if (*fmt == ' ')
			pspec->flags |= SPACE;
		else if (*fmt == '#')
			pspec->flags |= SPECIAL;
		else if (*fmt == '0')
			pspec->flags |= ZEROPAD;
		else
			break;
	}

	pspec->field_width = -1;
	if (is_digit(*fmt)) {
		pspec->field_width = skip_atoi(&fmt);
	} else if (*fmt == '*') {
		pspec->type = T_WIDTH;
		return (int)(++fmt - start);
	}

precision:
	pspec->precision = -1;
	if (*fmt == '.') {
		++fmt;
		if (is_digit(*fmt)) {
			pspec->precision = skip_atoi(&fmt);
			if (pspec->precision < 0)
				pspec->precision = 0;
		} else if (*fmt == '*') {
			pspec->type = T_PRECISION;
			return (int)(++fmt - start);
		}
	}

qualifier:
	qualifier = 0;
	if (*fmt == 'h' || *fmt == 'l' || *fmt == 'L' || *fmt == 'z' || *fmt == 't') {
		qualifier = *fmt++;
		if (qualifier == *fmt) {
			if (qualifier == 'l') {
				qualifier = 'L';
				++fmt;
			} else if (qualifier == 'h') {
				qualifier = 'H';
				++fmt;
			}
		}
	}

	pspec->base = 10;
	switch (*fmt) {
	case 'c':
		pspec->type = T_CHAR;
		return (int)(++fmt - start);
	case 's':
		pspec->type = T_STR;
		return (int)(++fmt - start);
	case 'p':
		pspec->type = T_PTR;
		return (int)(++fmt - start);
	case '%':
		pspec->type = T_PERCENT;
		return (int)(++fmt - start);
	case 'o':
		pspec->base = 8;
		break;
	case 'x':
		pspec->flags |= SMALL;
		pspec->base = 16;
		break;
	case 'X':
		pspec->base = 16;
		break;
	case 'd':
	case 'i':
		pspec->flags |= SIGN;
		break;
	case 'u':
		break;
	default:  // unknown conversions, %n and a '%' at the very end
		pspec->type = T_INVALID;
		return (int)(fmt - start);
	}

	const unsigned is_signed = pspec->flags & SIGN;
	if (qualifier == 'L')
		pspec->type = T_LONG_LONG;
	else if (qualifier == 'l')
		pspec->type = T_ULONG + is_signed;
	else if (qualifier == 'z')
		pspec->type = T_SIZE_T;
	else if (qualifier == 't')
		pspec->type = T_PTRDIFF;
	else if (qualifier == 'H')
		pspec->type = T_UBYTE + is_signed;
	else if (qualifier == 'h')
		pspec->type = T_USHORT + is_signed;
	else
		pspec->type = T_UINT + is_signed;
	return (int)(++fmt - start);
}

void set_field_width(PrintfSpec *pspec, int width)
{
	pspec->field_width = width;
	if (pspec->field_width != width)
		pspec->field_width = width < -kFieldWidthMax ? -kFieldWidthMax :
				    width > kFieldWidthMax ? kFieldWidthMax : width;
}

void set_precision(PrintfSpec *pspec, int prec)
{
	pspec->precision = prec;
	if (pspec->precision != prec)
		pspec->precision = prec < 0 ? 0 : prec > kPrecisionMax ? kPrecisionMax : prec;
}

}  // namespace

extern "C" {

int vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
{
	unsigned long long num;
	PrintfSpec pspec = {};
	char *str, *end;

	// Sizes beyond INT_MAX are refused outright (a negative size that was
	// converted, most likely).
	if (size > (size_t)INT_MAX)
		return 0;

	str = buf;
	end = buf + size;
	if (end < buf) {
		end = (char *)-1;
		size = (size_t)(end - buf);
	}

	while (*fmt) {
		const char *old_fmt = fmt;
		const int read = format_decode(fmt, &pspec);

		fmt += read;
		switch (pspec.type) {
		case T_NONE: {
			int copy = read;
			if (str < end) {
				if (copy > end - str)
					copy = (int)(end - str);
				memcpy(str, old_fmt, (size_t)copy);
			}
			str += read;
			break;
		}
		case T_WIDTH:
			set_field_width(&pspec, va_arg(args, int));
			break;
		case T_PRECISION:
			set_precision(&pspec, va_arg(args, int));
			break;
		case T_CHAR: {
			if (!(pspec.flags & LEFT))
				while (--pspec.field_width > 0)
					put(str, end, ' ');
			const char c = (char)(unsigned char)va_arg(args, int);
			put(str, end, c);
			while (--pspec.field_width > 0)
				put(str, end, ' ');
			break;
		}
		case T_STR:
			str = string(str, end, va_arg(args, const char *), pspec);
			break;
		case T_PTR:
			str = pointer(str, end, va_arg(args, const void *), pspec);
			// Extension letters belong to the conversion.
			while (is_alnum(*fmt))
				fmt++;
			break;
		case T_PERCENT:
			put(str, end, '%');
			break;
		case T_INVALID:
			// The arguments can no longer be matched with the
			// conversions: stop here.
			goto out;
		default:
			switch (pspec.type) {
			case T_LONG_LONG:
				num = (unsigned long long)va_arg(args, long long);
				break;
			case T_ULONG:
				num = va_arg(args, unsigned long);
				break;
			case T_LONG:
				num = (unsigned long long)va_arg(args, long);
				break;
			case T_SIZE_T:
				if (pspec.flags & SIGN)
					num = (unsigned long long)va_arg(args, ssize_t);
				else
					num = va_arg(args, size_t);
				break;
			case T_PTRDIFF:
				num = (unsigned long long)va_arg(args, ssize_t);
				break;
			case T_UBYTE:
				num = (unsigned char)va_arg(args, int);
				break;
			case T_BYTE:
				num = (unsigned long long)(signed char)va_arg(args, int);
				break;
			case T_USHORT:
				num = (unsigned short)va_arg(args, int);
				break;
			case T_SHORT:
				num = (unsigned long long)(short)va_arg(args, int);
				break;
			case T_INT:
				num = (unsigned long long)va_arg(args, int);
				break;
			default:
				num = va_arg(args, unsigned int);
			}
			str = number(str, end, num, pspec);
		}
	}

out:
	if (size > 0) {
		if (str < end)
			*str = '\0';
		else
			end[-1] = '\0';
	}
	return (int)(str - buf);
}

int snprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list args;

	va_start(args, fmt);
	const int i = vsnprintf(buf, size, fmt, args);
	va_end(args);
	return i;
}

int vscnprintf(char *buf, size_t size, const char *fmt, va_list args)
{
	if (!size)
		return 0;
	const int i = vsnprintf(buf, size, fmt, args);
	if ((size_t)i < size)
		return i;
	return (int)(size - 1);
}

int scnprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list args;

	va_start(args, fmt);
	const int i = vscnprintf(buf, size, fmt, args);
	va_end(args);
	return i;
}

}  // extern "C"
