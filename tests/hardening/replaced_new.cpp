// The global operator new and delete of the fault-injection test program. The index's standard containers
// (key table, free list, file paths) allocate through them, so the armed countdown reaches them too. They
// live in their own file so that no call site sees malloc and free behind new and delete.

#include <cstdlib>
#include <new>

#include "index/fault_injection.h"

void* operator new(std::size_t bytes) {
    if (vemo::korvane::fault_injection::allocation_should_fail())
        throw std::bad_alloc();
    if (void* pointer = std::malloc(bytes ? bytes : 1))
        return pointer;
    throw std::bad_alloc();
}
void* operator new[](std::size_t bytes) { return ::operator new(bytes); }
void* operator new(std::size_t bytes, std::nothrow_t const&) noexcept {
    if (vemo::korvane::fault_injection::allocation_should_fail())
        return nullptr;
    return std::malloc(bytes ? bytes : 1);
}
void* operator new[](std::size_t bytes, std::nothrow_t const& tag) noexcept { return ::operator new(bytes, tag); }
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete[](void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::nothrow_t const&) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::nothrow_t const&) noexcept { std::free(pointer); }
