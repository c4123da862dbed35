// Resizable hash tables: parameter checks, duplicates, lookups, growth and
// shrinking (seen through the bucket memory), faults.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <linux/errno.h>
#include <linux/jhash.h>
#include <linux/rhashtable.h>

#include "sim/sim.h"

namespace {

// Keyed by a NUL-padded name, hashed and compared as a string, as the
// module's watched-name table is.
struct Named {
	char name[24];
	struct rhash_head node;
	int id;
};

u32 name_hash(const void *data, u32, u32 seed)
{
	return jhash(data, (u32)strlen((const char *)data), seed);
}

int name_cmp(struct rhashtable_compare_arg *arg, const void *obj)
{
	return strcmp(((const Named *)obj)->name, (const char *)arg->key);
}

rhashtable_params named_params(bool shrink = true)
{
	rhashtable_params p = {};
	p.key_len = 24;
	p.key_offset = offsetof(Named, name);
	p.head_offset = offsetof(Named, node);
	p.automatic_shrinking = shrink;
	p.hashfn = name_hash;
	p.obj_cmpfn = name_cmp;
	return p;
}

// Keyed by a 32-bit number with the table's own hash and byte compare.
struct Num {
	u32 key;
	struct rhash_head node;
};

rhashtable_params num_params()
{
	rhashtable_params p = {};
	p.key_len = sizeof(u32);
	p.key_offset = offsetof(Num, key);
	p.head_offset = offsetof(Num, node);
	return p;
}

class Rhashtable : public ::testing::Test {
protected:
	void SetUp() override { base_ = k_.alloc_stats("kmalloc"); }
	void TearDown() override { EXPECT_TRUE(k_.violations().empty()) << k_.violations()[0]; }
	// Bucket count, from the bytes the table holds.
	sim::u64 buckets() const
	{
		return (k_.alloc_stats("kmalloc").live_bytes - base_.live_bytes) / sizeof(void *);
	}
	sim::u64 live() const { return k_.alloc_stats("kmalloc").live_count - base_.live_count; }

	std::vector<Num> nums(size_t n)
	{
		std::vector<Num> v(n);
		for (size_t i = 0; i < n; i++)
			v[i].key = (u32)(i * 7919 + 1);
		return v;
	}

	sim::Kernel k_;
	sim::AllocStats base_;
	struct rhashtable ht_;
};

TEST_F(Rhashtable, InitChecksParameters)
{
	auto with = [](auto change) {
		rhashtable_params p = num_params();
		change(p);
		return p;
	};
	auto obj_hash = [](const void *, u32, u32) -> u32 { return 0; };
	auto cmp = [](rhashtable_compare_arg *, const void *) { return 0; };
	struct {
		rhashtable_params p;
		int ret;
	} rows[] = {
		{num_params(), 0},
		{with([](rhashtable_params &p) { p.key_len = 0; }), -EINVAL},
		{with([&](rhashtable_params &p) { p.key_len = 0; p.obj_hashfn = obj_hash; }), -EINVAL},
		{with([&](rhashtable_params &p) {
			 p.key_len = 0; p.obj_hashfn = obj_hash; p.obj_cmpfn = cmp; }), 0},
	};
	for (const auto &r : rows) {
		EXPECT_EQ(rhashtable_init(&ht_, &r.p), r.ret);
		if (r.ret == 0)
			rhashtable_destroy(&ht_);
		EXPECT_EQ(live(), 0u);
	}
}

TEST_F(Rhashtable, InitialSizeFollowsTheHint)
{
	struct {
		u16 nelem_hint, min_size;
		sim::u64 buckets;
	} rows[] = {
		{0, 0, 64},  // the default
		{1024, 0, 2048},  // 1024 * 4 / 3 rounded up to a power of two
		{3, 0, 4},
		{0, 100, 128},  // min_size is rounded up too
		{10, 300, 512},
	};
	for (const auto &r : rows) {
		rhashtable_params p = num_params();
		p.nelem_hint = r.nelem_hint;
		p.min_size = r.min_size;
		ASSERT_EQ(rhashtable_init(&ht_, &p), 0);
		EXPECT_EQ(buckets(), r.buckets) << r.nelem_hint << " " << r.min_size;
		rhashtable_destroy(&ht_);
		EXPECT_EQ(live(), 0u);
	}
}

TEST_F(Rhashtable, DuplicatesAreInsertedAndFoundOneAtATime)
{
	const rhashtable_params p = named_params();
	ASSERT_EQ(rhashtable_init(&ht_, &p), 0);
	Named a = {}, b = {}, c = {};
	strcpy(a.name, "com.example.app");
	strcpy(b.name, "com.example.app");
	strcpy(c.name, "com.example");
	a.id = 1, b.id = 2, c.id = 3;

	EXPECT_EQ(rhashtable_insert_fast(&ht_, &a.node, p), 0);
	EXPECT_EQ(rhashtable_insert_fast(&ht_, &b.node, p), 0);
	EXPECT_EQ(rhashtable_insert_fast(&ht_, &c.node, p), 0);
	EXPECT_EQ(rhashtable_nelems(&ht_), 3u);

	// Only the characters before the NUL count in the key.
	char key[24] = "com.example.app";
	memset(key + 16, 'z', 8);
	// New entries go to the head of their chain: the later one is found.
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, key, p), &b);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, "com.example", p), &c);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, "com.exampl", p), nullptr);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, "com.example.ap", p), nullptr);

	EXPECT_EQ(rhashtable_remove_fast(&ht_, &b.node, p), 0);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, key, p), &a);
	EXPECT_EQ(rhashtable_remove_fast(&ht_, &b.node, p), -ENOENT);
	EXPECT_EQ(rhashtable_remove_fast(&ht_, &a.node, p), 0);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, key, p), nullptr);
	EXPECT_EQ(rhashtable_nelems(&ht_), 1u);
	rhashtable_destroy(&ht_);
	EXPECT_EQ(live(), 0u);
}

TEST_F(Rhashtable, GrowsPastThreeQuartersAndShrinksBelowThirtyPercent)
{
	const rhashtable_params p = named_params();
	ASSERT_EQ(rhashtable_init(&ht_, &p), 0);
	std::vector<Named> v(1000);
	for (size_t i = 0; i < v.size(); i++) {
		strcpy(v[i].name, ("task-" + std::to_string(i)).c_str());
		v[i].id = (int)i;
	}
	// 64 buckets double when the count passes 48, 96, 192, 384, 768.
	const struct {
		size_t count;
		sim::u64 buckets;
	} growth[] = {{48, 64}, {49, 128}, {96, 128}, {97, 256}, {768, 1024}, {769, 2048}, {1000, 2048}};
	size_t inserted = 0;
	for (const auto &g : growth) {
		for (; inserted < g.count; inserted++)
			ASSERT_EQ(rhashtable_insert_fast(&ht_, &v[inserted].node, p), 0);
		EXPECT_EQ(buckets(), g.buckets) << g.count;
	}
	for (const Named &n : v)
		ASSERT_EQ(rhashtable_lookup_fast(&ht_, n.name, p), &n);
	EXPECT_EQ(rhashtable_nelems(&ht_), 1000u);

	// Removing: below 30% the table goes to the next power of two above
	// one and a half times the count, never under the minimum of 4.
	const struct {
		size_t left;
		sim::u64 buckets;
	} shrinking[] = {{614, 2048}, {613, 1024}, {307, 1024}, {306, 512}, {10, 32}, {3, 4}, {0, 4}};
	size_t left = v.size();
	for (const auto &s : shrinking) {
		for (; left > s.left; left--)
			ASSERT_EQ(rhashtable_remove_fast(&ht_, &v[left - 1].node, p), 0);
		EXPECT_EQ(buckets(), s.buckets) << s.left;
		for (size_t i = 0; i < left; i++)
			ASSERT_EQ(rhashtable_lookup_fast(&ht_, v[i].name, p), &v[i]);
	}
	EXPECT_EQ(rhashtable_nelems(&ht_), 0u);
	rhashtable_destroy(&ht_);
	EXPECT_EQ(live(), 0u);
}

TEST_F(Rhashtable, NoShrinkingUnlessAskedAndMaxSizeCaps)
{
	std::vector<Num> v = nums(200);
	rhashtable_params np = num_params();
	ASSERT_EQ(rhashtable_init(&ht_, &np), 0);
	for (Num &n : v)
		ASSERT_EQ(rhashtable_insert_fast(&ht_, &n.node, np), 0);
	EXPECT_EQ(buckets(), 512u);
	for (Num &n : v)
		ASSERT_EQ(rhashtable_remove_fast(&ht_, &n.node, np), 0);
	EXPECT_EQ(buckets(), 512u);
	rhashtable_destroy(&ht_);

	// max_size is rounded down to a power of two; the table holds at most
	// twice that many objects.
	np.max_size = 100;
	ASSERT_EQ(rhashtable_init(&ht_, &np), 0);
	for (size_t i = 0; i < 128; i++)
		ASSERT_EQ(rhashtable_insert_fast(&ht_, &v[i].node, np), 0);
	EXPECT_EQ(buckets(), 64u);
	EXPECT_EQ(rhashtable_insert_fast(&ht_, &v[128].node, np), -E2BIG);
	EXPECT_EQ(rhashtable_nelems(&ht_), 128u);
	for (size_t i = 0; i < 128; i++)
		ASSERT_EQ(rhashtable_lookup_fast(&ht_, &v[i].key, np), &v[i]);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, &v[128].key, np), nullptr);
	rhashtable_destroy(&ht_);
	EXPECT_EQ(live(), 0u);
}

TEST_F(Rhashtable, FaultsOfInitAndInsert)
{
	const rhashtable_params p = num_params();
	std::vector<Num> v = nums(5);

	k_.add_fault({"rhashtable_init", "", 1, 1, -EBUSY});
	EXPECT_EQ(rhashtable_init(&ht_, &p), -EBUSY);
	EXPECT_EQ(live(), 0u);
	ASSERT_EQ(rhashtable_init(&ht_, &p), 0);

	k_.add_fault({"rhashtable_insert", "", 3, 1, -ENOMEM});
	const int want[] = {0, 0, -ENOMEM, 0, 0};
	for (size_t i = 0; i < v.size(); i++)
		EXPECT_EQ(rhashtable_insert_fast(&ht_, &v[i].node, p), want[i]) << i;
	EXPECT_EQ(rhashtable_nelems(&ht_), 4u);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, &v[2].key, p), nullptr);
	EXPECT_EQ(rhashtable_lookup_fast(&ht_, &v[3].key, p), &v[3]);
	rhashtable_destroy(&ht_);
}

TEST_F(Rhashtable, BucketAllocationFailures)
{
	const rhashtable_params p = num_params();
	std::vector<Num> v = nums(200);

	// The first bucket array fails: init settles for the smallest one.
	k_.add_fault({"kmalloc", "bucket_table_alloc", 1, 1, 0});
	ASSERT_EQ(rhashtable_init(&ht_, &p), 0);
	EXPECT_EQ(buckets(), 4u);
	rhashtable_destroy(&ht_);
	k_.clear_faults();

	k_.add_fault({"kmalloc", "bucket_table_alloc", 1, 2, 0});
	EXPECT_EQ(rhashtable_init(&ht_, &p), -ENOMEM);
	EXPECT_EQ(live(), 0u);
	k_.clear_faults();

	// Growing fails: inserts still succeed and the old buckets stay.
	ASSERT_EQ(rhashtable_init(&ht_, &p), 0);
	k_.add_fault({"kmalloc", "bucket_table_alloc", 1, 0, 0});
	for (Num &n : v)
		ASSERT_EQ(rhashtable_insert_fast(&ht_, &n.node, p), 0);
	EXPECT_EQ(buckets(), 64u);
	for (Num &n : v)
		ASSERT_EQ(rhashtable_lookup_fast(&ht_, &n.key, p), &n);
	// Once allocations work again the next insert catches up.
	k_.clear_faults();
	Num extra = {12345, {}};
	ASSERT_EQ(rhashtable_insert_fast(&ht_, &extra.node, p), 0);
	EXPECT_EQ(buckets(), 128u);
	for (Num &n : v)
		ASSERT_EQ(rhashtable_lookup_fast(&ht_, &n.key, p), &n);
	rhashtable_destroy(&ht_);
	EXPECT_EQ(live(), 0u);
}

// The seed the table hashes with, as its hash function last saw it.
u32 g_seen_seed;

u32 seed_watching_hash(const void *data, u32 len, u32 seed)
{
	g_seen_seed = seed;
	return name_hash(data, len, seed);
}

// Seeds of a table's first bucket array, of the array it grows into, and of
// a second table, on a kernel with the given random seed.
std::vector<u32> seeds_on_a_kernel(sim::u64 kernel_seed)
{
	sim::Config cfg;
	cfg.seed = kernel_seed;
	sim::Kernel k(cfg);
	rhashtable_params p = named_params();
	p.hashfn = seed_watching_hash;
	struct rhashtable a, b;
	std::vector<Named> v(49);
	std::vector<u32> seeds;
	EXPECT_EQ(rhashtable_init(&a, &p), 0);
	EXPECT_EQ(rhashtable_init(&b, &p), 0);
	for (size_t i = 0; i < v.size(); i++) {
		strcpy(v[i].name, ("app-" + std::to_string(i)).c_str());
		EXPECT_EQ(rhashtable_insert_fast(&a, &v[i].node, p), 0);
		if (i == 0 || i == 48)  // 64 buckets grow to 128 at the 49th
			seeds.push_back(g_seen_seed);
	}
	EXPECT_EQ(rhashtable_lookup_fast(&a, "app-7", p), &v[7]);
	EXPECT_EQ(seeds.back(), g_seen_seed);  // lookups use the new array's seed
	EXPECT_EQ(rhashtable_lookup_fast(&b, "app-7", p), nullptr);
	seeds.push_back(g_seen_seed);
	rhashtable_destroy(&a);
	rhashtable_destroy(&b);
	return seeds;
}

// Every bucket array draws its own seed from the kernel's random source:
// the same kernel seed gives the same table, another gives another.
TEST(RhashtableSeed, DrawnPerBucketArrayFromTheKernel)
{
	const std::vector<u32> one = seeds_on_a_kernel(1);
	ASSERT_EQ(one.size(), 3u);
	EXPECT_NE(one[0], one[1]);
	EXPECT_NE(one[0], one[2]);
	EXPECT_NE(one[1], one[2]);
	EXPECT_EQ(one, seeds_on_a_kernel(1));
	EXPECT_NE(one, seeds_on_a_kernel(2));
}

}  // namespace
