#include "tests/support/tAllocationWindow.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "tests/support/sanitizedBuild.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void noteAllocation() {
    if (gCounting.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

#if defined(QV_SANITIZED_BUILD)
// The sanitizer owns malloc; it calls this hook for every allocation, operator new included.
extern "C" void __sanitizer_malloc_hook(const volatile void*, size_t) {
    noteAllocation();
}
#else
// Every allocation entry point, counted and handed to the C library's allocator. operator new
// ends up in malloc, so it is counted too.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) noexcept {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
    noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) noexcept {
    noteAllocation();
    return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) noexcept {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
    noteAllocation();
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *result = pointer;
    return 0;
}
}
#endif

namespace nQUORVAMONITORD_18_5 {

tAllocationWindow::tAllocationWindow() {
    gAllocations.store(0);
    gCounting.store(true);
}

tAllocationWindow::~tAllocationWindow() {
    gCounting.store(false);
}

long tAllocationWindow::count() {
    gCounting.store(false);
    return gAllocations.load();
}

}  // namespace nQUORVAMONITORD_18_5
