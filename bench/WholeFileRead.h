#pragma once

#include "trestan/toolkit/FreshMemory.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

/// The physical limit the plugin is measured against: a file's bytes read whole into freshly
/// allocated memory, nothing decoded.
namespace bench {

/// Where the bytes go.
enum class Memory {
    /// malloc: large blocks are fresh anonymous mappings that fault in one 4 KiB page at a time.
    Malloc,
    /// From 4 MiB on, 2 MiB-aligned anonymous memory advised with MADV_HUGEPAGE (one fault per
    /// 2 MiB where transparent huge pages are enabled for madvise); smaller blocks from malloc, as
    /// the plugin does.
    HugePages,
};

/// Fresh memory of at least `bytes` bytes (never null: throws std::bad_alloc).
class FreshBuffer {
public:
    FreshBuffer(std::size_t bytes, Memory memory);
    ~FreshBuffer();
    FreshBuffer(const FreshBuffer&) = delete;
    FreshBuffer& operator=(const FreshBuffer&) = delete;

    std::uint8_t* data() const { return m_data; }

private:
    std::uint8_t* m_data = nullptr;
    std::unique_ptr<trestan::toolkit::FreshMemory> m_hugePages; ///< empty for malloc memory
};

/// Reads the file at `path` whole into a FreshBuffer and releases it; returns the bytes read.
/// Throws std::runtime_error naming the path when the file cannot be opened or read.
std::uint64_t readWholeFile(const std::string& path, Memory memory);

} // namespace bench
