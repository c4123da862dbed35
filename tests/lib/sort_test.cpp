// The kernel's heapsort, down to the order it leaves equal elements in.
#include <gtest/gtest.h>

#include <vector>

#include <linux/sort.h>

namespace {

struct Item {
	int key;
	int id;
};

int by_key(const void *a, const void *b)
{
	const int x = ((const Item *)a)->key, y = ((const Item *)b)->key;
	return (x > y) - (x < y);
}

int swaps;
void counting_swap(void *a, void *b, int size)
{
	EXPECT_EQ(size, (int)sizeof(Item));
	Item t = *(Item *)a;
	*(Item *)a = *(Item *)b;
	*(Item *)b = t;
	swaps++;
}

std::vector<int> ids_after_sort(const std::vector<int> &keys, swap_func_t swap)
{
	std::vector<Item> v;
	for (size_t i = 0; i < keys.size(); i++)
		v.push_back({keys[i], (int)i});
	sort(v.data(), v.size(), sizeof(Item), by_key, swap);
	std::vector<int> ids;
	for (size_t i = 0; i < v.size(); i++) {
		if (i) {
			EXPECT_LE(v[i - 1].key, v[i].key);
		}
		ids.push_back(v[i].id);
	}
	return ids;
}

TEST(Sort, OrderOfEqualKeys)
{
	// Keys 1,1,1,0 worked through by hand: building the heap moves
	// nothing; extracting the root three times swaps 0<->3, sifts the 0
	// down past element 1, swaps 0<->2, then 0<->1.  The equal keys end
	// up reversed, where a stable sort would keep them in order.
	EXPECT_EQ(ids_after_sort({1, 1, 1, 0}, nullptr), (std::vector<int>{3, 2, 1, 0}));
	EXPECT_EQ(ids_after_sort({3, 1, 2, 3, 1, 2, 3, 1, 2, 0}, nullptr),
		  (std::vector<int>{9, 1, 7, 4, 5, 2, 8, 6, 3, 0}));
	EXPECT_EQ(ids_after_sort({5, 5, 5, 5, 5, 5, 5}, nullptr),
		  (std::vector<int>{1, 2, 3, 4, 5, 6, 0}));
}

TEST(Sort, CallersSwapGivesTheSameOrder)
{
	swaps = 0;
	EXPECT_EQ(ids_after_sort({3, 1, 2, 3, 1, 2, 3, 1, 2, 0}, counting_swap),
		  (std::vector<int>{9, 1, 7, 4, 5, 2, 8, 6, 3, 0}));
	EXPECT_GT(swaps, 0);
}

TEST(Sort, OddSizedElementsAndTrivialInputs)
{
	// Three-byte elements, compared on the first byte.
	unsigned char v[] = {9, 'a', 'b', 1, 'c', 'd', 5, 'e', 'f', 3, 'g', 'h', 1, 'i', 'j'};
	sort(v, 5, 3, [](const void *a, const void *b) {
		return (int)*(const unsigned char *)a - (int)*(const unsigned char *)b;
	}, nullptr);
	const unsigned char want[] = {1, 'c', 'd', 1, 'i', 'j', 3, 'g', 'h', 5, 'e', 'f', 9, 'a', 'b'};
	EXPECT_EQ(0, memcmp(v, want, sizeof(v)));

	Item one = {1, 0};
	sort(&one, 1, sizeof(Item), by_key, nullptr);  // nothing to do
	sort(nullptr, 0, sizeof(Item), by_key, nullptr);
	EXPECT_EQ(one.key, 1);
}

}  // namespace
