// SPDX-License-Identifier: MIT
// Allocation that fails on demand. The program that links
// failing_allocator.cpp replaces the global operator new and new[] (every
// form) and routes pugixml's allocations through the same counter, so a
// test can make exactly the Nth allocation from now fail, or the Nth and
// every one after it (memory exhausted for good).
#pragma once

namespace tivaxalloc {

// From now on, allocation number `n` (1 for the next one) fails; with
// `persistent`, every later allocation fails too. Throwing forms throw
// std::bad_alloc, the others return a null pointer.
void failAllocation(long n, bool persistent);

// Back to normal allocation.
void disarm();

// Whether a failure was injected since the last failAllocation.
bool failureInjected();

// Allocations counted since the last failAllocation.
long allocationsCounted();

// Installs the pugixml hooks; call before any XML document exists.
void routeXmlAllocations();

}  // namespace tivaxalloc
