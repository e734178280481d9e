// A failing allocator in front of the interpreter's own, in the raw, mem and object
// domains: while armed with N it counts the allocations (malloc, calloc and realloc) made
// in any domain and fails the N-th, once; armed with 0 it only counts. Frees always pass
// through. Used by the tarn_faults module and by the C++ tests (FailNth).
#ifndef TARN_TESTS_FAILING_ALLOCATOR_H
#define TARN_TESTS_FAILING_ALLOCATOR_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace failing_allocator {

inline PyMemAllocatorEx originals[3];
inline std::atomic<bool> armed{false};
inline std::atomic<long> counted{0};
inline std::atomic<long> fail_at{0};
inline std::atomic<bool> failed{false};
// Called when the allocation to fail is found, before it fails (may be null).
inline void (*on_failure)() noexcept = nullptr;

// True when this allocation is the one to fail.
inline bool fails_now() noexcept {
  if (!armed.load(std::memory_order_relaxed)) return false;
  long n = counted.fetch_add(1) + 1;
  if (n != fail_at.load(std::memory_order_relaxed)) return false;
  failed = true;
  if (on_failure) on_failure();
  return true;
}

inline void* hook_malloc(void* ctx, size_t size) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  return fails_now() ? nullptr : orig->malloc(orig->ctx, size);
}

inline void* hook_calloc(void* ctx, size_t nelem, size_t elsize) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  return fails_now() ? nullptr : orig->calloc(orig->ctx, nelem, elsize);
}

inline void* hook_realloc(void* ctx, void* ptr, size_t size) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  return fails_now() ? nullptr : orig->realloc(orig->ctx, ptr, size);
}

inline void hook_free(void* ctx, void* ptr) noexcept {
  auto* orig = static_cast<PyMemAllocatorEx*>(ctx);
  orig->free(orig->ctx, ptr);
}

// Puts the hooks in front of the interpreter's allocators, once per process.
inline void install() noexcept {
  static bool installed = false;
  if (installed) return;
  installed = true;
  constexpr PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
  for (int i = 0; i < 3; ++i) {
    PyMem_GetAllocator(domains[i], &originals[i]);
    PyMemAllocatorEx hook = {&originals[i], hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_SetAllocator(domains[i], &hook);
  }
}

inline void arm(long n) noexcept {
  counted = 0;
  failed = false;
  fail_at = n;
  armed = true;
}

inline void disarm() noexcept { armed = false; }

}  // namespace failing_allocator

#endif
