#pragma once
// Storage of the firmware images a simulated device receives and keeps: tens
// of megabytes filled front to back, block by block. Large blocks of memory
// are mapped with a hint for transparent huge pages, so that filling them
// costs one page fault per 2 MiB instead of one per 4 KiB (page faults are
// expensive on virtual machines, and a 16 MiB image grown in 4 KiB steps
// otherwise costs thousands of them). Small blocks come from the heap. Where
// the system gives no huge pages the hint is ignored and normal pages are used.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

namespace vlmudrv {

template <class T>
struct ImageAllocator {
  using value_type = T;
  // From this size on a block is mapped on its own, aligned for huge pages.
  static constexpr size_t kMappedFrom = 1u << 20;
  static constexpr size_t kHugePage = 2u << 20;

  ImageAllocator() = default;
  template <class U>
  ImageAllocator(const ImageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kMappedFrom) return std::allocator<T>().allocate(n);
    const size_t length = RoundUp(bytes);
    // Map a huge page more than needed and unmap what lies outside the aligned range.
    void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<uintptr_t>(kHugePage - 1);
    if (aligned != start) ::munmap(raw, aligned - start);
    const size_t tail = start + length + kHugePage - (aligned + length);
    char* const alignedStart = static_cast<char*>(raw) + (aligned - start);
    if (tail != 0) ::munmap(alignedStart + length, tail);
    ::madvise(alignedStart, length, MADV_HUGEPAGE);  // a hint only
    return reinterpret_cast<T*>(alignedStart);
  }

  void deallocate(T* p, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (bytes < kMappedFrom) {
      std::allocator<T>().deallocate(p, n);
      return;
    }
    ::munmap(p, RoundUp(bytes));
  }

  template <class U>
  bool operator==(const ImageAllocator<U>&) const noexcept {
    return true;
  }

 private:
  static size_t RoundUp(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }
};

using ImageBytes = std::basic_string<char, std::char_traits<char>, ImageAllocator<char>>;

}  // namespace vlmudrv
