// The records' memory of korvan-client-faults.dll, the build of korvan-client.dll for
// the tests: after korvan_test_fail_allocation(n), the allocation n places on (0 for
// the next one) fails and every other succeeds; a negative n fails none. Exported by
// korvan_client_faults.def.

#include <atomic>
#include <cstdlib>

#include "client/record_memory.h"

namespace {

// Allocations to let through before the one that fails; negative for none.
std::atomic<long> before_failure{-1};

}  // namespace

namespace korvan::client {

void* allocate_record(std::size_t size) {
    if (before_failure.load() >= 0 && before_failure.fetch_sub(1) == 0) {
        return nullptr;
    }
    return std::calloc(1, size);
}

}  // namespace korvan::client

extern "C" void __cdecl korvan_test_fail_allocation(long n) {
    before_failure = n;
}
