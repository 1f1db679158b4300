// An allocator for the large scratch arrays of a fit's worker threads. Blocks of 1 MiB or
// more are mapped from the system directly and unmapped when freed, so their pages leave the
// process at once. Through malloc, a worker's freed blocks would stay in that thread's own
// arena, resident for the rest of the fit on top of the arrays that come after them.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define MORVEL_MAPPED_BUFFERS 1
#endif

namespace morvel {

template <class T>
struct LargeBufferAllocator {
  using value_type = T;
  static constexpr std::size_t kMappedBytes = std::size_t{1} << 20;

  LargeBufferAllocator() = default;
  template <class U>
  LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
#if defined(MORVEL_MAPPED_BUFFERS)
    if (bytes >= kMappedBytes) {
      void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      return static_cast<T*>(p);
    }
#endif
    return static_cast<T*>(::operator new(bytes));
  }

  void deallocate(T* p, std::size_t n) noexcept {
#if defined(MORVEL_MAPPED_BUFFERS)
    if (n * sizeof(T) >= kMappedBytes) {
      munmap(p, n * sizeof(T));
      return;
    }
#endif
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const LargeBufferAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeBufferAllocator<T>>;

// The same blocks for arrays that are written in full before anything reads them (matrix
// copies, transposes, binned bytes): `resize` leaves new elements default-initialised, which
// for numbers means untouched, instead of zero-filling memory that is about to be overwritten.
// That fill cost as much as a third of a fit's data preparation.
template <class T>
struct UninitBufferAllocator : LargeBufferAllocator<T> {
  UninitBufferAllocator() = default;
  template <class U>
  UninitBufferAllocator(const UninitBufferAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UninitVector = std::vector<T, UninitBufferAllocator<T>>;

// Asks the system to back the whole pages of [p, p + bytes) now, in one call, instead of
// faulting them in one by one as they are first written (each fault costs microseconds
// under a hypervisor). For memory about to be filled; a no-op where unsupported.
inline void prefault(void* p, std::size_t bytes) noexcept {
#if defined(MORVEL_MAPPED_BUFFERS) && defined(MADV_POPULATE_WRITE)
  constexpr std::size_t kPage = 4096;
  const std::size_t begin = (reinterpret_cast<std::size_t>(p) + kPage - 1) / kPage * kPage;
  const std::size_t end = (reinterpret_cast<std::size_t>(p) + bytes) / kPage * kPage;
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace morvel
