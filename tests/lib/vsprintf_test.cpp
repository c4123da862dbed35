// The printf family against the kernel's formatting rules, including the
// places where they differ from the C library's.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <string>

#include <linux/kernel.h>

#include "lib/backend.h"
#include "sim/sim.h"

namespace {

constexpr size_t kBuf = 64;

struct Out {
	std::string text;
	int ret;
	bool tail_intact;  // nothing written at or after buf[size]
};

// Formats through the va_list entry point, which the compiler cannot fold.
Out format(size_t size, const char *fmt, ...)
{
	char buf[kBuf];
	memset(buf, '#', sizeof(buf));
	va_list args;
	va_start(args, fmt);
	const int ret = vsnprintf(buf, size, fmt, args);
	va_end(args);
	Out o{size ? std::string(buf, strnlen(buf, kBuf)) : std::string(), ret, true};
	for (size_t i = size; i < kBuf; i++)
		if (buf[i] != '#')
			o.tail_intact = false;
	return o;
}

std::string hex16(unsigned long v)
{
	std::string s(16, '0');
	for (int i = 15; i >= 0; i--, v >>= 4)
		s[i] = "0123456789abcdef"[v & 15];
	return s;
}

struct Row {
	Out got;
	const char *want;
};

TEST(Vsprintf, ConversionTable)
{
	const char *null_str = nullptr;
	const Row rows[] = {
		// The conversions the module uses.
		{format(kBuf, "%8llu%%", 42ull), "      42%"},
		{format(kBuf, "%8llu%%", 123456789ull), "123456789%"},
		{format(kBuf, "%20s|", "abc"), "                 abc|"},
		{format(kBuf, "%11llu", 18446744073709551615ull), "18446744073709551615"},
		{format(kBuf, "%11llu", 7ull), "          7"},
		{format(kBuf, "%5d", -42), "  -42"},
		{format(kBuf, "%02d", 7), "07"},
		{format(kBuf, "%02d", 123), "123"},
		{format(kBuf, "%02d", -5), "-5"},
		{format(kBuf, "%2llu", 0ull), " 0"},
		{format(kBuf, "%6llu", 1234567ull), "1234567"},
		{format(kBuf, "%04d", -12), "-012"},
		{format(kBuf, "0x%p", (void *)nullptr), "0x0000000000000000"},
		// Signs and flags.
		{format(kBuf, "%d", INT_MIN), "-2147483648"},
		{format(kBuf, "%i", 17), "17"},
		{format(kBuf, "%+d|% d|%+ d", 5, 5, 5), "+5| 5|+5"},
		{format(kBuf, "%+d", -5), "-5"},
		{format(kBuf, "%+u", 5u), "5"},
		{format(kBuf, "%-5d|%-05d|", 5, 5), "5    |5    |"},
		{format(kBuf, "%u", -1), "4294967295"},
		// Bases and '#'; the kernel prints "0x0" for zero.
		{format(kBuf, "%x|%X|%o", 255, 255, 8), "ff|FF|10"},
		{format(kBuf, "%#x|%#X|%#o", 255, 255, 8), "0xff|0XFF|010"},
		{format(kBuf, "%#x|%#o", 0, 0), "0x0|0"},
		{format(kBuf, "%#08x|%#8x|%-#8x|", 255, 255, 255), "0x0000ff|    0xff|0xff    |"},
		// Precision: never cuts digits, a zero still prints, and '0'
		// padding still applies on top of it.
		{format(kBuf, "%.3d|%5.3d|%05.3d", 5, -5, 5), "005| -005|00005"},
		{format(kBuf, "%.0d|%.d", 0, 0), "0|0"},
		{format(kBuf, "%.2s|%5.1s|", "abc", "abc"), "ab|    a|"},
		// '*' arguments; a negative width means left, a negative
		// precision means 0.
		{format(kBuf, "%*d|%*d|", 5, 42, -5, 42), "   42|42   |"},
		{format(kBuf, "%.*d|%.*s|", 4, 7, -1, "abc"), "0007||"},
		// Strings that are not there.
		{format(kBuf, "%s", null_str), "(null)"},
		{format(kBuf, "%3s|%10s|%.3s", null_str, null_str, null_str), "(null)|    (null)|(nu"},
		{format(kBuf, "%s", (const char *)16), "(efault)"},
		// Characters.
		{format(kBuf, "%c|%3c|%-3c|", 'A', 'B', 'C'), "A|  B|C  |"},
		// Length modifiers.
		{format(kBuf, "%hhd|%hhu|%hd|%hu", 255, 257, 65535, 65539), "-1|1|-1|3"},
		{format(kBuf, "%ld|%lu", -1L, ULONG_MAX), "-1|18446744073709551615"},
		{format(kBuf, "%lld|%llx", LLONG_MIN, 0xdeadbeefcafeull), "-9223372036854775808|deadbeefcafe"},
		{format(kBuf, "%zu|%zd|%td", (size_t)-1, (ssize_t)-3, (ptrdiff_t)-4), "18446744073709551615|-3|-4"},
		// Percent signs and text.
		{format(kBuf, "a%%b%%"), "a%b%"},
		{format(kBuf, "plain"), "plain"},
		// Pointers: a given width replaces the zero padding; error
		// pointers are printed as they are; extension letters are part
		// of the conversion.
		{format(kBuf, "%20p|", (void *)nullptr), "                   0|"},
		{format(kBuf, "%p", (void *)-12L), "fffffffffffffff4"},
		// An unknown conversion ends the output there.
		{format(kBuf, "ab%qcd%d", 5), "ab"},
		{format(kBuf, "ab%"), "ab"},
	};
	for (const Row &r : rows) {
		EXPECT_EQ(r.got.text, r.want);
		EXPECT_EQ(r.got.ret, (int)strlen(r.want)) << r.want;
	}
}

TEST(Vsprintf, PointerPrintsItsHashedId)
{
	sim::Kernel k;  // the ids are the running kernel's
	static int object;
	const std::string id = hex16(__ptr_hash_id(&object));

	EXPECT_EQ(format(kBuf, "0x%p", (void *)&object).text, "0x" + id);
	EXPECT_EQ(format(kBuf, "[%pK]", (void *)&object).text, "[" + id + "]");
	// With a width the id is not zero-padded.
	std::string bare = id.substr(id.find_first_not_of('0') == std::string::npos ?
					     15 : id.find_first_not_of('0'));
	EXPECT_EQ(format(kBuf, "%-20p|", (void *)&object).text,
		  bare + std::string(20 - bare.size(), ' ') + "|");
}

TEST(Vsprintf, TruncationAndReturnValues)
{
	struct {
		Out got;
		const char *want;
		int ret;
	} rows[] = {
		{format(0, "hello"), "", 5},
		{format(1, "hello"), "", 5},
		{format(3, "hello"), "he", 5},
		{format(5, "hello"), "hell", 5},
		{format(6, "hello"), "hello", 5},
		{format(3, "%5d", 42), "  ", 5},
		// A right-aligned string cut by the buffer: the blanks come first.
		{format(4, "%6s", "abc"), "   ", 6},
		{format(5, "%-6s|", "abc"), "abc ", 7},
		{format(4, "%s%s", "ab", "cd"), "abc", 4},
		{format(2, "%c%c", 'x', 'y'), "x", 2},
	};
	for (const auto &r : rows) {
		EXPECT_EQ(r.got.text, r.want);
		EXPECT_EQ(r.got.ret, r.ret) << r.want;
		EXPECT_TRUE(r.got.tail_intact) << r.want;
	}
	// Sizes beyond INT_MAX are refused without writing.
	const Out huge = format((size_t)INT_MAX + 1, "%d", 12);
	EXPECT_EQ(huge.ret, 0);
	EXPECT_EQ(huge.text, std::string(kBuf, '#'));
}

TEST(Vsprintf, ScnprintfCountsWhatWasWritten)
{
	char buf[8];

	EXPECT_EQ(scnprintf(buf, sizeof(buf), "%d", 12345), 5);
	EXPECT_STREQ(buf, "12345");
	EXPECT_EQ(scnprintf(buf, 4, "%d", 12345), 3);
	EXPECT_STREQ(buf, "123");
	EXPECT_EQ(scnprintf(buf, 1, "%d", 12345), 0);
	EXPECT_STREQ(buf, "");
	buf[0] = 'z';
	EXPECT_EQ(scnprintf(buf, 0, "%d", 12345), 0);
	EXPECT_EQ(buf[0], 'z');
}

TEST(Vsprintf, SnprintfIsTheKernelOne)
{
	// Called through a pointer so that the compiler cannot fold the call;
	// the C library would print nothing for a zero with precision 0.
	int (*volatile fn)(char *, size_t, const char *, ...) = snprintf;
	char buf[16];

	EXPECT_EQ(fn(buf, sizeof(buf), "%.0d|%#x", 0, 0), 5);
	EXPECT_STREQ(buf, "0|0x0");
}

}  // namespace
