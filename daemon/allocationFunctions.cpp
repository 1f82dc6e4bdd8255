// The daemon's own global allocation functions, on top of malloc and free, and the one other
// piece of the C++ runtime its code needs. With them the daemon links against the C library
// alone: no libstdc++, libm or libgcc_s to load and relocate at every start.
//
// Linked into the daemon executable only: the libraries the tests link stay free of them, and a
// sanitizer build leaves allocation to the sanitizer's runtime.
//
// The daemon builds without exceptions and allocates with the nothrow forms; the throwing forms
// end the process when memory runs out. The over-aligned forms are left out: no type here needs
// them, and the link fails if one ever does.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size) noexcept {
    // Every allocation must return a distinct pointer, also for size 0.
    return std::malloc(size == 0 ? 1 : size);
}

void* allocateOrAbort(std::size_t size) noexcept {
    void* pointer = allocate(size);
    if (pointer == nullptr) {
        std::abort();
    }
    return pointer;
}

}  // namespace

void* operator new(std::size_t size) {
    return allocateOrAbort(size);
}

void* operator new[](std::size_t size) {
    return allocateOrAbort(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}

void operator delete(void* pointer) noexcept {
    std::free(pointer);
}

void operator delete[](void* pointer) noexcept {
    std::free(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept {
    std::free(pointer);
}

void operator delete[](void* pointer, std::size_t) noexcept {
    std::free(pointer);
}

void operator delete(void* pointer, const std::nothrow_t&) noexcept {
    std::free(pointer);
}

void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
    std::free(pointer);
}

// Called from the virtual table of a class with pure virtual functions if one is ever called
// during construction or destruction; that is a bug, so the process ends.
extern "C" void __cxa_pure_virtual() {
    std::abort();
}
