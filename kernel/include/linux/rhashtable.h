/* Resizable hash tables.  The table itself is opaque storage; the callers'
 * objects embed a struct rhash_head at params->head_offset and are compared
 * through the params' callbacks. */
#ifndef _LINUX_RHASHTABLE_H
#define _LINUX_RHASHTABLE_H

#include <linux/types.h>
#include <linux/opaque.h>

struct rhash_head {
	struct rhash_head *next;
};

struct rhashtable;

struct rhashtable_compare_arg {
	struct rhashtable *ht;
	const void *key;
};

typedef u32 (*rht_hashfn_t)(const void *data, u32 len, u32 seed);
typedef u32 (*rht_obj_hashfn_t)(const void *data, u32 len, u32 seed);
typedef int (*rht_obj_cmpfn_t)(struct rhashtable_compare_arg *arg, const void *obj);

struct rhashtable_params {
	u16 nelem_hint;
	u16 key_len;
	u16 key_offset;
	u16 head_offset;
	unsigned int max_size;
	u16 min_size;
	bool automatic_shrinking;
	rht_hashfn_t hashfn;
	rht_obj_hashfn_t obj_hashfn;
	rht_obj_cmpfn_t obj_cmpfn;
};

/* Opaque storage for the kernel's own table (see linux/opaque.h). */
struct rhashtable {
	unsigned long __opaque[PELK_RHASHTABLE_SIZE / sizeof(unsigned long)];
} __attribute__((aligned(PELK_RHASHTABLE_ALIGN)));

__BEGIN_DECLS
/* 0, or -EINVAL for bad parameters, -ENOMEM when the buckets cannot be had. */
int rhashtable_init(struct rhashtable *ht, const struct rhashtable_params *params);
/* Frees the buckets; the objects belong to the caller. */
void rhashtable_destroy(struct rhashtable *ht);
/* Under RCU: the object whose key matches, or NULL. */
void *rhashtable_lookup_fast(struct rhashtable *ht, const void *key,
			     const struct rhashtable_params params);
/* Inserts without looking for an equal key; 0 or a negative errno. */
int rhashtable_insert_fast(struct rhashtable *ht, struct rhash_head *obj,
			   const struct rhashtable_params params);
int rhashtable_remove_fast(struct rhashtable *ht, struct rhash_head *obj,
			   const struct rhashtable_params params);
unsigned int rhashtable_nelems(struct rhashtable *ht);
__END_DECLS

#endif
