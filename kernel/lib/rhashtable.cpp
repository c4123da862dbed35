// Resizable hash tables.  Objects are chained through the rhash_head they
// embed; a bucket array of a power-of-two size holds the chains, and every
// bucket array has its own random hash seed.  The table doubles when it is
// more than 75% full and, with automatic shrinking, shrinks when it falls
// below 30%.  Resizing is done at once, inside the insert or remove that
// calls for it, with non-sleeping allocations; when such an allocation
// fails the table simply keeps its current buckets.
//
// Lookups take no lock.  Inserts and removes are serialised among
// themselves by a spin lock of the table.  A resize frees the old bucket
// array at once, so lookups must not run while objects are inserted or
// removed (the callers build their tables before they look anything up).
// None of these functions enters an RCU read-side section of its own, so
// that the backend sees only the sections its callers open.
#include <linux/errno.h>
#include <linux/gfp.h>
#include <linux/jhash.h>
#include <linux/random.h>
#include <linux/rhashtable.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "backend.h"

namespace {

constexpr unsigned int kDefaultSize = 64;
constexpr unsigned int kMinSize = 4;

struct Table {
	struct rhashtable_params p;  // as given, with min_size and max_size settled
	unsigned int max_elems;  // inserts beyond this many fail with -E2BIG
	struct rhash_head **buckets;
	unsigned int size;  // number of buckets, a power of two
	u32 hash_rnd;
	unsigned int nelems;
	int lock;
};
static_assert(sizeof(Table) <= sizeof(struct rhashtable), "rhashtable storage too small");
static_assert(alignof(Table) <= alignof(struct rhashtable), "rhashtable storage misaligned");

Table *tab(struct rhashtable *ht) { return (Table *)(void *)ht; }

void lock(Table *t)
{
	while (__atomic_exchange_n(&t->lock, 1, __ATOMIC_ACQUIRE))
		while (__atomic_load_n(&t->lock, __ATOMIC_RELAXED))
			;
}

void unlock(Table *t) { __atomic_store_n(&t->lock, 0, __ATOMIC_RELEASE); }

unsigned long roundup_pow_of_two(unsigned long n)
{
	unsigned long r = 1;

	while (r < n)
		r <<= 1;
	return r;
}

unsigned long rounddown_pow_of_two(unsigned long n)
{
	unsigned long r = 1;

	while (r <= n / 2)
		r <<= 1;
	return r;
}

unsigned int initial_size(const struct rhashtable_params *p)
{
	unsigned long size;

	if (p->nelem_hint)
		size = roundup_pow_of_two((unsigned long)p->nelem_hint * 4 / 3);
	else
		size = kDefaultSize;
	if (size < p->min_size)
		size = p->min_size;
	return (unsigned int)size;
}

const char *obj_of(const Table *t, const struct rhash_head *he)
{
	return (const char *)he - t->p.head_offset;
}

u32 key_hash(const Table *t, const void *key, u32 seed)
{
	if (t->p.hashfn)
		return t->p.hashfn(key, t->p.key_len, seed);
	return jhash(key, t->p.key_len, seed);
}

u32 obj_hash(const Table *t, const struct rhash_head *he, u32 seed)
{
	const char *obj = obj_of(t, he);

	if (t->p.obj_hashfn)
		return t->p.obj_hashfn(obj, t->p.key_len, seed);
	return key_hash(t, obj + t->p.key_offset, seed);
}

struct rhash_head **bucket_table_alloc(unsigned int nbuckets, gfp_t gfp)
{
	return (struct rhash_head **)kcalloc(nbuckets, sizeof(struct rhash_head *), gfp);
}

// Moves every object into a new bucket array of new_size buckets, with a
// new seed.  Each old chain is taken apart from its tail, each object going
// to the head of its new chain, so that objects of one old chain that meet
// again keep their order.
void rehash(Table *t, unsigned int new_size)
{
	struct rhash_head **nb = bucket_table_alloc(new_size, GFP_ATOMIC);

	if (!nb)
		return;
	const u32 seed = get_random_u32();
	for (unsigned int i = 0; i < t->size; i++) {
		while (t->buckets[i]) {
			struct rhash_head **pprev = &t->buckets[i];
			while ((*pprev)->next)
				pprev = &(*pprev)->next;
			struct rhash_head *he = *pprev;
			*pprev = NULL;
			const u32 idx = obj_hash(t, he, seed) & (new_size - 1);
			he->next = nb[idx];
			nb[idx] = he;
		}
	}
	kfree(t->buckets);
	t->buckets = nb;
	t->size = new_size;
	t->hash_rnd = seed;
}

bool grow_above_75(const Table *t)
{
	return t->nelems > t->size / 4 * 3 && (!t->p.max_size || t->size < t->p.max_size);
}

bool shrink_below_30(const Table *t)
{
	return t->nelems < t->size * 3 / 10 && t->size > t->p.min_size;
}

void shrink(Table *t)
{
	unsigned long size = t->nelems ? roundup_pow_of_two((unsigned long)t->nelems * 3 / 2) : 0;

	if (size < t->p.min_size)
		size = t->p.min_size;
	if (t->size <= size)
		return;
	rehash(t, (unsigned int)size);
}

}  // namespace

extern "C" {

int rhashtable_init(struct rhashtable *ht, const struct rhashtable_params *params)
{
	const int fault = __kernel_fault("rhashtable_init", "");
	if (fault)
		return fault;

	// A key needs a length, unless the objects hash themselves; objects
	// that hash themselves need a compare function.
	if ((!params->key_len && !params->obj_hashfn) ||
	    (params->obj_hashfn && !params->obj_cmpfn))
		return -EINVAL;

	memset(ht, 0, sizeof(*ht));
	Table *t = tab(ht);
	t->p = *params;
	if (params->min_size)
		t->p.min_size = (u16)roundup_pow_of_two(params->min_size);
	t->max_elems = 1u << 31;
	if (params->max_size) {
		t->p.max_size = (unsigned int)rounddown_pow_of_two(params->max_size);
		if (t->p.max_size < t->max_elems / 2)
			t->max_elems = t->p.max_size * 2;
	}
	if (t->p.min_size < kMinSize)
		t->p.min_size = kMinSize;

	unsigned int size = initial_size(&t->p);
	t->buckets = bucket_table_alloc(size, GFP_KERNEL);
	if (!t->buckets) {
		// Settle for the smallest table.
		size = t->p.min_size;
		t->buckets = bucket_table_alloc(size, GFP_KERNEL);
		if (!t->buckets)
			return -ENOMEM;
	}
	t->size = size;
	t->hash_rnd = get_random_u32();
	return 0;
}

void rhashtable_destroy(struct rhashtable *ht)
{
	Table *t = tab(ht);

	lock(t);
	kfree(t->buckets);
	t->buckets = NULL;
	t->size = 0;
	t->nelems = 0;
	unlock(t);
}

void *rhashtable_lookup_fast(struct rhashtable *ht, const void *key,
			     const struct rhashtable_params)
{
	Table *t = tab(ht);
	struct rhashtable_compare_arg arg = {ht, key};
	void *found = NULL;

	struct rhash_head **buckets = __atomic_load_n(&t->buckets, __ATOMIC_ACQUIRE);
	if (buckets) {
		const u32 idx = key_hash(t, key, t->hash_rnd) & (t->size - 1);
		for (struct rhash_head *he = buckets[idx]; he; he = he->next) {
			const char *obj = obj_of(t, he);
			const bool match = t->p.obj_cmpfn ?
				t->p.obj_cmpfn(&arg, obj) == 0 :
				memcmp(obj + t->p.key_offset, key, t->p.key_len) == 0;
			if (match) {
				found = (void *)obj;
				break;
			}
		}
	}
	return found;
}

int rhashtable_insert_fast(struct rhashtable *ht, struct rhash_head *obj,
			   const struct rhashtable_params)
{
	const int fault = __kernel_fault("rhashtable_insert", "");
	if (fault)
		return fault;

	Table *t = tab(ht);
	int err = 0;

	lock(t);
	if (!t->buckets) {
		err = -EINVAL;
	} else if (t->nelems >= t->max_elems) {
		err = -E2BIG;
	} else {
		const u32 idx = obj_hash(t, obj, t->hash_rnd) & (t->size - 1);
		obj->next = t->buckets[idx];
		t->buckets[idx] = obj;
		t->nelems++;
		if (grow_above_75(t))
			rehash(t, t->size * 2);
	}
	unlock(t);
	return err;
}

int rhashtable_remove_fast(struct rhashtable *ht, struct rhash_head *obj,
			   const struct rhashtable_params)
{
	Table *t = tab(ht);
	int err = -ENOENT;

	lock(t);
	if (t->buckets) {
		const u32 idx = obj_hash(t, obj, t->hash_rnd) & (t->size - 1);
		for (struct rhash_head **pprev = &t->buckets[idx]; *pprev; pprev = &(*pprev)->next) {
			if (*pprev == obj) {
				*pprev = obj->next;
				t->nelems--;
				err = 0;
				break;
			}
		}
		if (!err && t->p.automatic_shrinking && shrink_below_30(t))
			shrink(t);
	}
	unlock(t);
	return err;
}

unsigned int rhashtable_nelems(struct rhashtable *ht)
{
	return __atomic_load_n(&tab(ht)->nelems, __ATOMIC_RELAXED);
}

}  // extern "C"
