// The program's operator new, with a reserve of address space for the
// moment memory runs out. The allocation that fails still fails with
// std::bad_alloc, but the reserve is given back first: the destructors that
// run while that failure unwinds may allocate too (a JSON value takes a
// little memory to free its children, and a destructor cannot throw), and
// without room the process would end. The command loop takes the reserve
// again once memory allows (XapTakeMemoryReserve).
#include "XapMemory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

const size_t kReserveBytes = 1 << 20;

std::atomic<void*> g_pReserve{nullptr};

[[maybe_unused]] void GiveBackReserve() {
  void* pReserve = g_pReserve.exchange(nullptr);
  if (pReserve != nullptr) munmap(pReserve, kReserveBytes);
}

}  // namespace

namespace qom {
namespace host {

void TakeMemoryReserve() {
  if (g_pReserve.load() != nullptr) return;
  void* pReserve = mmap(nullptr, kReserveBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (pReserve == MAP_FAILED) return;
  void* pNone = nullptr;
  if (!g_pReserve.compare_exchange_strong(pNone, pReserve)) munmap(pReserve, kReserveBytes);
}

}  // namespace host
}  // namespace qom

// A sanitizer brings its own allocator, whose new and delete must pair:
// there the reserve is taken but never needed.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define XAP_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define XAP_SANITIZED_ALLOCATOR 1
#endif

#ifndef XAP_SANITIZED_ALLOCATOR
void* operator new(std::size_t nBytes) {
  void* p = std::malloc(nBytes == 0 ? 1 : nBytes);
  if (p != nullptr) return p;
  GiveBackReserve();
  throw std::bad_alloc();
}

void* operator new[](std::size_t nBytes) { return operator new(nBytes); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif  // XAP_SANITIZED_ALLOCATOR
