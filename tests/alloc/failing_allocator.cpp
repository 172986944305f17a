// SPDX-License-Identifier: MIT
#include "failing_allocator.h"

#include <pugixml.hpp>

#include <atomic>
#include <cstdlib>
#include <new>

namespace tivaxalloc {

namespace {

std::atomic<bool> armed{false};
std::atomic<bool> persistentFailure{false};
std::atomic<bool> injected{false};
std::atomic<long> counted{0};
std::atomic<long> failAt{0};

// Whether this allocation is to fail; counts it while armed.
bool shouldFail() {
  if (!armed.load(std::memory_order_relaxed)) return false;
  const long n = counted.fetch_add(1, std::memory_order_relaxed) + 1;
  const long at = failAt.load(std::memory_order_relaxed);
  if (n == at || (persistentFailure.load(std::memory_order_relaxed) && n > at)) {
    injected.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

void* allocate(std::size_t size) noexcept {
  if (shouldFail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) noexcept {
  if (shouldFail()) return nullptr;
  const std::size_t a = static_cast<std::size_t>(alignment);
  void* p = nullptr;
  if (posix_memalign(&p, a < sizeof(void*) ? sizeof(void*) : a, size == 0 ? 1 : size) != 0)
    return nullptr;
  return p;
}

void* xmlAllocate(std::size_t size) { return allocate(size); }
void xmlDeallocate(void* p) { std::free(p); }

}  // namespace

void failAllocation(long n, bool persistent) {
  counted.store(0);
  injected.store(false);
  failAt.store(n);
  persistentFailure.store(persistent);
  armed.store(true);
}

void disarm() { armed.store(false); }

bool failureInjected() { return injected.load(); }

long allocationsCounted() { return counted.load(); }

void routeXmlAllocations() { pugi::set_memory_management_functions(xmlAllocate, xmlDeallocate); }

}  // namespace tivaxalloc

// ---- the replaced global allocation functions ------------------------------

void* operator new(std::size_t size) {
  void* p = tivaxalloc::allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return tivaxalloc::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return tivaxalloc::allocate(size);
}
void* operator new(std::size_t size, std::align_val_t a) {
  void* p = tivaxalloc::allocateAligned(size, a);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size, std::align_val_t a) { return ::operator new(size, a); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return tivaxalloc::allocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return tivaxalloc::allocateAligned(size, a);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
