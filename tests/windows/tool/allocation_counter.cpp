#include "tests/windows/tool/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long threadAllocations = 0;
}  // namespace

long ThreadAllocations() {
    return threadAllocations;
}

void* operator new(std::size_t size) {
    ++threadAllocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
