// Parameter strings and modinfo, as the kernel's loader reads them
// (lib/cmdline.c next_arg, kernel/params.c parameq).
#include "modparams.h"

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

extern "C" {

char *skip_spaces(const char *str)
{
	while (is_space(*str))
		str++;
	return (char *)str;
}

bool parameq(const char *a, const char *b)
{
	for (;; a++, b++) {
		char x = *a == '-' ? '_' : *a, y = *b == '-' ? '_' : *b;

		if (x != y)
			return false;
		if (!x)
			return true;
	}
}

char *next_arg(char *args, char **param, char **val)
{
	unsigned int i, equals = 0;
	int in_quote = 0, quoted = 0;

	if (*args == '"') {
		args++;
		in_quote = 1;
		quoted = 1;
	}
	for (i = 0; args[i]; i++) {
		if (is_space(args[i]) && !in_quote)
			break;
		if (equals == 0 && args[i] == '=')
			equals = i;
		if (args[i] == '"')
			in_quote = !in_quote;
	}
	*param = args;
	if (!equals) {
		*val = NULL;
	} else {
		args[equals] = '\0';
		*val = args + equals + 1;
		if (**val == '"') {
			(*val)++;
			if (args[i - 1] == '"')
				args[i - 1] = '\0';
		}
	}
	if (quoted && i > 0 && args[i - 1] == '"')
		args[i - 1] = '\0';
	if (args[i]) {
		args[i] = '\0';
		args += i + 1;
	} else {
		args += i;
	}
	return skip_spaces(args);
}

const char *modinfo_get(const char *start, const char *stop, const char *key)
{
	size_t klen = 0;

	while (key[klen])
		klen++;
	for (const char *p = start; p && p < stop;) {
		size_t n = 0, k;

		while (p + n < stop && p[n])
			n++;
		for (k = 0; k < klen && k < n && p[k] == key[k]; k++)
			;
		if (k == klen && n > klen && p[klen] == '=')
			return p + klen + 1;
		p += n + 1;
	}
	return NULL;
}

}  // extern "C"
