#pragma once
// Counts the allocations made on the calling thread while `tCounting` is on, so a test can prove a real-time
// path allocates nothing: by replacing the test executable's global operator new, or, under ThreadSanitizer
// (whose runtime defines operator new itself), through the sanitizer's allocation hook.
// Include it in exactly one file of a test executable.
#include <cstdlib>
#include <new>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLINDO_ALLOC_COUNT_BY_HOOK 1
#endif
#endif

namespace {
thread_local bool tCounting = false;
thread_local long tAllocs = 0;
}  // namespace

#ifdef PLINDO_ALLOC_COUNT_BY_HOOK
// The sanitizer runtime calls this weak hook after every allocation.
extern "C" void __sanitizer_malloc_hook(const volatile void*, std::size_t) {
    if (tCounting) ++tAllocs;
}
#else
namespace {
void* countedNothrow(std::size_t n) noexcept {
    if (tCounting) ++tAllocs;
    return std::malloc(n ? n : 1);
}
void* countedAlloc(std::size_t n) {
    if (void* p = countedNothrow(n)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return countedAlloc(n); }
void* operator new[](std::size_t n) { return countedAlloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return countedNothrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return countedNothrow(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif
