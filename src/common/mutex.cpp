// The lock order check of Mutex, in the builds that have it.
#include "mutex.h"

#include <cstdio>
#include <cstdlib>

#ifdef SENSOMARK_CHECK_LOCK_ORDER
namespace lockorder {

unsigned& heldRanks() {
    thread_local unsigned held = 0;
    return held;
}

void violated(LockRank rank, unsigned held) {
    fprintf(stderr, "lock order violated: rank %u taken while holding ranks 0x%x\n",
            static_cast<unsigned>(rank), held);
    abort();
}

}  // namespace lockorder
#endif
