// Sizing the process's private futex hash table to its thread count, where the kernel allows it.
#pragma once

#include <sys/prctl.h>

// Linux 6.16 and later; older headers lack the names.
#ifndef PR_FUTEX_HASH
#define PR_FUTEX_HASH 78
#define PR_FUTEX_HASH_SET_SLOTS 1
#define PR_FUTEX_HASH_GET_SLOTS 2
#endif

namespace velko {

// The power of two of slots, from 16 up to 65536, that gives `threads` waiters about one slot each.
long futex_hash_slots_for(long threads);

// Asks the kernel (Linux 6.16 and later) for a private futex hash of futex_hash_slots_for(threads)
// slots when it has fewer. Returns the slots granted, or 0 when the process keeps the kernel's
// default table: an older kernel refuses the request, or the default is already as large.
long request_futex_hash(long threads);

// The threads of this process now, or 0 when /proc does not say.
long process_threads();

}  // namespace velko
