#pragma once
// Replaces the test executable's global operator new with one that counts the allocations made on the
// calling thread while `tCounting` is on, so a test can prove a real-time path allocates nothing.
// Include it in exactly one file of a test executable.
#include <cstdlib>
#include <new>

namespace {
thread_local bool tCounting = false;
thread_local long tAllocs = 0;

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
