#pragma once

// The memory of the records korvan-client.dll hands to its callers, which korvan_free
// gives back with free(). korvan-client.dll allocates with calloc; the build of it for
// the tests (korvan-client-faults.dll) can be made to fail, for the paths that only an
// allocation failure reaches.

#include <cstddef>

namespace korvan::client {

// `size` bytes set to zero, or nullptr when they cannot be had.
void* allocate_record(std::size_t size);

}  // namespace korvan::client
