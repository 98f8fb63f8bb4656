#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <utility>
#include <vector>

/// Allocator for pixel buffers that are filled by one read right after they are sized.
///
/// Elements are default-initialised, so resizing does not write zeros that the read is about to
/// overwrite; the caller zeroes only what the file does not deliver. Large buffers come straight
/// from the kernel as 2 MiB-aligned anonymous memory advised for transparent huge pages: they start
/// out zero, cost one page fault per 2 MiB instead of per 4 KiB, and pages never touched cost nothing.
template <typename T> class PixelBufferAllocator {
public:
    using value_type = T;

    static constexpr std::size_t HugePageSize = std::size_t{2} << 20;
    /// Buffers from this size on are mapped; smaller ones come from malloc.
    static constexpr std::size_t MapThreshold = std::size_t{4} << 20;

    PixelBufferAllocator() noexcept = default;
    template <typename U> PixelBufferAllocator(const PixelBufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
            throw std::bad_alloc();
        }
        const std::size_t bytes = count * sizeof(T);
        if (bytes < MapThreshold) {
            void* memory = std::malloc(bytes == 0 ? 1 : bytes);
            if (memory == nullptr) {
                throw std::bad_alloc();
            }
            return static_cast<T*>(memory);
        }
        // Over-map by one huge page to align the start, then give back the unused ends.
        const std::size_t mapped = roundUp(bytes) + HugePageSize;
        void* memory = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::bad_alloc();
        }
        const auto base = reinterpret_cast<std::uintptr_t>(memory);
        const std::uintptr_t aligned = (base + HugePageSize - 1) & ~(std::uintptr_t{HugePageSize} - 1);
        if (aligned > base) {
            ::munmap(memory, aligned - base);
        }
        const std::uintptr_t end = base + mapped;
        const std::uintptr_t usedEnd = aligned + roundUp(bytes);
        if (end > usedEnd) {
            ::munmap(reinterpret_cast<void*>(usedEnd), end - usedEnd);
        }
#ifdef MADV_HUGEPAGE
        ::madvise(reinterpret_cast<void*>(aligned), roundUp(bytes), MADV_HUGEPAGE);
#endif
        return reinterpret_cast<T*>(aligned);
    }

    void deallocate(T* pointer, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < MapThreshold) {
            std::free(pointer);
        } else {
            ::munmap(pointer, roundUp(bytes));
        }
    }

    /// Default-initialisation: no zero fill.
    template <typename U> void construct(U* pointer) noexcept {
        ::new (static_cast<void*>(pointer)) U;
    }
    template <typename U, typename... Args> void construct(U* pointer, Args&&... args) {
        ::new (static_cast<void*>(pointer)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const PixelBufferAllocator&, const PixelBufferAllocator&) {
        return true;
    }

private:
    static std::size_t roundUp(std::size_t bytes) {
        return (bytes + HugePageSize - 1) & ~(HugePageSize - 1);
    }
};

/// A pixel buffer: the bytes of one image as stored, from PixelBufferAllocator.
///
/// Not a std::vector: resizing a vector with a custom allocator constructs its elements one at a
/// time. The loop does nothing for bytes and optimised builds drop it, but in debug and sanitizer
/// builds it visits every byte, so a small file declaring an image of terabytes (legitimately: its
/// pixels past the end of the data read as zeros) would hold the open for minutes.
class PixelBuffer {
public:
    PixelBuffer() = default;
    ~PixelBuffer() { release(); }
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    /// Replaces the buffer by one of `size` bytes whose content is not initialised (empty for 0).
    void allocate(std::size_t size) {
        std::uint8_t* data = size == 0 ? nullptr : PixelBufferAllocator<std::uint8_t>().allocate(size);
        release();
        m_data = data;
        m_size = size;
    }

    std::size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    std::uint8_t* data() noexcept { return m_data; }
    const std::uint8_t* data() const noexcept { return m_data; }

private:
    void release() noexcept {
        if (m_data != nullptr) {
            PixelBufferAllocator<std::uint8_t>().deallocate(m_data, m_size);
        }
        m_data = nullptr;
        m_size = 0;
    }

    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};
