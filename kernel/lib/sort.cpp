// The kernel's in-place heapsort, bottom-up variant: the sift-down path is
// followed to a leaf with one comparison per level, then the element is put
// back on that path where it belongs.  Elements that compare equal end up
// in the order this exact sequence of comparisons and swaps gives, which is
// why the steps below must not be "improved".
#include <linux/sort.h>

namespace {

void swap_bytes(void *a, void *b, int size)
{
	char *x = (char *)a, *y = (char *)b;

	for (int i = 0; i < size; i++) {
		const char t = x[i];
		x[i] = y[i];
		y[i] = t;
	}
}

}  // namespace

extern "C" void sort(void *base, size_t num, size_t size, cmp_func_t cmp_func,
		     swap_func_t swap_func)
{
	char *const b0 = (char *)base;
	// Indexes in elements: a is the element being sifted, n the heap's end.
	size_t n = num;
	size_t a = num / 2;

	if (!a || !size)
		return;
	if (!swap_func)
		swap_func = swap_bytes;

	auto at = [b0, size](size_t i) { return (void *)(b0 + i * size); };
	auto parent = [](size_t i) { return (i - 1) / 2; };

	for (;;) {
		size_t b, c, d;

		if (a)  // building the heap: sift down element a - 1
			a--;
		else if (--n)  // sorting: move the root to the end
			swap_func(at(0), at(n), (int)size);
		else
			break;

		// Down to a leaf, always to the larger child; the left one
		// when the two compare equal.
		for (b = a; c = 2 * b + 1, (d = c + 1) < n;)
			b = cmp_func(at(c), at(d)) >= 0 ? c : d;
		if (d == n)  // last leaf without a sibling
			b = c;

		// Back up to where element a belongs ...
		while (b != a && cmp_func(at(a), at(b)) >= 0)
			b = parent(b);
		// ... and rotate it into place along the path.
		c = b;
		while (b != a) {
			b = parent(b);
			swap_func(at(b), at(c), (int)size);
		}
	}
}
