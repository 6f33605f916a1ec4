// Every parked thread of the process waits in one futex hash table, which the kernel sizes by the
// number of CPUs. With thousands of threads (three per state machine) each wake-up scans a long
// bucket; a table with a slot per thread keeps a wake-up's cost flat.
#include "futex_hash.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace velko {

long futex_hash_slots_for(long threads) {
    constexpr long kMinSlots = 16;
    constexpr long kMaxSlots = 65536;  // 4 MB of buckets
    long slots = kMinSlots;
    while (slots < threads && slots < kMaxSlots) {
        slots *= 2;
    }
    return slots;
}

long request_futex_hash(long threads) {
    const long slots = futex_hash_slots_for(threads);
    const int current = prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_GET_SLOTS, 0, 0, 0);
    if (current < 0 || current >= slots) {
        return 0;
    }
    // Flags 0: the table stays resizable.
    if (prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_SET_SLOTS, static_cast<unsigned long>(slots), 0UL, 0UL) != 0) {
        return 0;
    }
    return slots;
}

long process_threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 8, "Threads:") == 0) {
            return std::strtol(line.c_str() + 8, nullptr, 10);
        }
    }
    return 0;
}

}  // namespace velko
