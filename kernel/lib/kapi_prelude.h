// The kernel-facility layer as a backend's sources see it: every header of
// kernel/include (and the sibling services' entry points) read inside
// namespace kapi, after every host header.
//
// The host's C++ library and the kernel-facility headers cannot share a
// translation unit as they stand (struct tm, struct timezone, macros like
// __init), so a backend's internal header includes its host headers first,
// then this one.  The functions keep C linkage inside kapi, so the
// definitions a backend makes there are the ones modules bind to.  A backend
// builds with shim/ first on its include path (see shim/linux/types.h).
#pragma once

#undef __always_inline
namespace kapi {
#include "kernel_api.inc"
}  // namespace kapi
#undef jiffies
#undef __init
#undef __exit
#undef __user
#undef __rcu
