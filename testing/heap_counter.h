// Counts heap allocations on every thread while counting is on. Include it in exactly one
// source file of a test or benchmark program: it replaces the process's allocator entry
// points (malloc and friends, so C libraries such as libyuv and libturbojpeg are counted
// too; operator new ends in malloc). Under a sanitizer, which owns malloc, only operator new
// is counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace heap_counter {

inline std::atomic<bool> counting{false};
inline std::atomic<long> allocations{0};

inline void countOne() {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}

// Starts a count from zero.
inline void start() {
    allocations.store(0);
    counting.store(true);
}
// Stops counting and returns the allocations made since start().
inline long stop() {
    counting.store(false);
    return allocations.load();
}

} // namespace heap_counter

#if defined(ORMIDAL_TSAN) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline void* countedMalloc(size_t size) {
    heap_counter::countOne();
    return std::malloc(size ? size : 1);
}
void* operator new(size_t size) {
    if (void* p = countedMalloc(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    if (void* p = countedMalloc(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return countedMalloc(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return countedMalloc(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* malloc(size_t size) {
    heap_counter::countOne();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    heap_counter::countOne();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    heap_counter::countOne();
    return __libc_realloc(p, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    heap_counter::countOne();
    return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) {
    heap_counter::countOne();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    heap_counter::countOne();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : 12; // ENOMEM
}
}
#endif
