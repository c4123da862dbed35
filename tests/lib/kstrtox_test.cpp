// Number parsing, bounded string copy and the int module parameter.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/moduleparam.h>
#include <linux/string.h>

namespace {

constexpr int kUntouched = 0x5a5a5a5a;

TEST(Kstrtox, Int)
{
	struct {
		const char *s;
		unsigned base;
		int ret;
		int value;  // kUntouched: the result must not be written
	} rows[] = {
		{"0", 0, 0, 0},
		{"42", 10, 0, 42},
		{"+42", 10, 0, 42},
		{"-42", 10, 0, -42},
		{"-0", 10, 0, 0},
		{"42\n", 10, 0, 42},
		{"42\n\n", 10, -EINVAL, kUntouched},
		{"", 10, -EINVAL, kUntouched},
		{"\n", 10, -EINVAL, kUntouched},
		{"+", 10, -EINVAL, kUntouched},
		{" 42", 10, -EINVAL, kUntouched},
		{"42 ", 10, -EINVAL, kUntouched},
		{"4x2", 10, -EINVAL, kUntouched},
		{"--1", 10, -EINVAL, kUntouched},
		{"-+1", 10, -EINVAL, kUntouched},
		{"+-1", 10, -EINVAL, kUntouched},
		// Base 0 looks at the prefix; "0x" needs a hex digit after it.
		{"0x1f", 0, 0, 31},
		{"0X1F", 0, 0, 31},
		{"-0x10", 0, 0, -16},
		{"017", 0, 0, 15},
		{"018", 0, -EINVAL, kUntouched},
		{"0x", 0, -EINVAL, kUntouched},
		{"0xg", 0, -EINVAL, kUntouched},
		{"0x1f", 16, 0, 31},
		{"1f", 16, 0, 31},
		{"0x", 16, -EINVAL, kUntouched},
		{"0x1f", 10, -EINVAL, kUntouched},
		{"777", 8, 0, 511},
		// Range.
		{"2147483647", 10, 0, INT_MAX},
		{"2147483648", 10, -ERANGE, kUntouched},
		{"-2147483648", 10, 0, INT_MIN},
		{"-2147483649", 10, -ERANGE, kUntouched},
		{"99999999999999999999", 10, -ERANGE, kUntouched},
		// Overflow is found before trailing garbage.
		{"99999999999999999999x", 10, -ERANGE, kUntouched},
	};
	for (const auto &r : rows) {
		int v = kUntouched;
		EXPECT_EQ(kstrtoint(r.s, r.base, &v), r.ret) << '"' << r.s << '"';
		EXPECT_EQ(v, r.value) << '"' << r.s << '"';
	}
}

TEST(Kstrtox, UnsignedForms)
{
	unsigned u = 7;
	EXPECT_EQ(kstrtouint("4294967295", 10, &u), 0);
	EXPECT_EQ(u, UINT_MAX);
	EXPECT_EQ(kstrtouint("4294967296", 10, &u), -ERANGE);
	EXPECT_EQ(kstrtouint("-1", 10, &u), -EINVAL);
	EXPECT_EQ(kstrtouint("+7\n", 0, &u), 0);
	EXPECT_EQ(u, 7u);

	unsigned long long ull = 1;
	EXPECT_EQ(kstrtoull("18446744073709551615", 10, &ull), 0);
	EXPECT_EQ(ull, ULLONG_MAX);
	EXPECT_EQ(kstrtoull("18446744073709551616", 10, &ull), -ERANGE);
	EXPECT_EQ(kstrtoull("0xffffffffffffffff", 0, &ull), 0);
	EXPECT_EQ(ull, ULLONG_MAX);
	EXPECT_EQ(kstrtoull("0x10000000000000000", 0, &ull), -ERANGE);
	EXPECT_EQ(kstrtoull("-1", 0, &ull), -EINVAL);
	EXPECT_EQ(ull, ULLONG_MAX);
}

TEST(Strscpy, CopiesAndTerminates)
{
	struct {
		const char *src;
		size_t size;
		ssize_t ret;
		const char *want;
	} rows[] = {
		{"abc", 4, 3, "abc"},
		{"abc", 10, 3, "abc"},
		{"abc", 3, -E2BIG, "ab"},
		{"abc", 1, -E2BIG, ""},
		{"", 1, 0, ""},
	};
	for (const auto &r : rows) {
		char buf[16];
		memset(buf, '#', sizeof(buf));
		EXPECT_EQ(strscpy(buf, r.src, r.size), r.ret) << r.src << " " << r.size;
		EXPECT_STREQ(buf, r.want);
		for (size_t i = r.size; i < sizeof(buf); i++)
			EXPECT_EQ(buf[i], '#');
	}
	char buf[2] = {'x', 'y'};
	EXPECT_EQ(strscpy(buf, "abc", 0), -E2BIG);
	EXPECT_EQ(buf[0], 'x');
}

TEST(ParamInt, SetAndGet)
{
	int value = 10000;
	const kernel_param kp = {"kmonitor_delay", nullptr, &param_ops_int, 0644, -1, 0, &value};

	EXPECT_EQ(param_ops_int.set, &param_set_int);
	EXPECT_EQ(param_ops_int.get, &param_get_int);

	EXPECT_EQ(kp.ops->set("0x10\n", &kp), 0);
	EXPECT_EQ(value, 16);
	EXPECT_EQ(kp.ops->set("abc", &kp), -EINVAL);
	EXPECT_EQ(kp.ops->set("3000000000", &kp), -ERANGE);
	EXPECT_EQ(value, 16);
	EXPECT_EQ(kp.ops->set("-5", &kp), 0);

	char page[4096];
	EXPECT_EQ(kp.ops->get(page, &kp), 3);
	EXPECT_STREQ(page, "-5\n");
}

}  // namespace
