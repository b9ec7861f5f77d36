#include "client/record_memory.h"

#include <cstdlib>

namespace korvan::client {

void* allocate_record(std::size_t size) {
    return std::calloc(1, size);
}

}  // namespace korvan::client
