#pragma once

#include "velmora/StreamAccess.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace velmora {

/// A stream over bytes in memory (READ | SEEK | SIZE). Serves tests, fuzzing and in-memory data.
class VELMORA_API MemoryStream final : public StreamAccess {
public:
    /// Shares ownership of `bytes`.
    explicit MemoryStream(std::shared_ptr<const std::vector<std::uint8_t>> bytes);
    /// Borrows `size` bytes at `data`; the caller keeps them alive while the stream lives.
    MemoryStream(const void* data, std::uint64_t size);

    std::uint64_t capabilities() const override;
    std::uint64_t read(std::uint64_t count, void* destination) override;
    std::uint64_t tell() const override;
    void seek(std::int64_t offset, SeekOrigin origin) override;
    std::optional<std::uint64_t> size() const override;

private:
    std::shared_ptr<const std::vector<std::uint8_t>> m_owner;
    const std::uint8_t* m_data;
    std::uint64_t m_size;
    std::uint64_t m_position = 0;
};

} // namespace velmora
