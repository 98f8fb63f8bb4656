#pragma once

#include "velmora/StreamAccess.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora {

/// A read buffer in front of any seekable stream. Reads smaller than the buffer are served from it
/// (one refill per buffer's worth of data); reads at least as large as the buffer go straight from
/// the inner stream into the destination. A seek that lands inside the buffered window only moves
/// an index and touches the inner stream not at all.
class VELMORA_API BufferedStream final : public StreamAccess {
public:
    static constexpr std::size_t MinimumBufferSize = 64 * 1024;

    /// `bufferSize` is raised to MinimumBufferSize when smaller.
    explicit BufferedStream(std::shared_ptr<StreamAccess> inner, std::size_t bufferSize = 256 * 1024);

    std::uint64_t capabilities() const override;
    std::uint64_t read(std::uint64_t count, void* destination) override;
    std::uint64_t tell() const override;
    void seek(std::int64_t offset, SeekOrigin origin) override;
    std::optional<std::uint64_t> size() const override;

    std::size_t bufferSize() const { return m_bufferSize; }

private:
    std::uint64_t readSlow(std::uint64_t count, std::uint8_t* destination);

    std::shared_ptr<StreamAccess> m_inner;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::size_t m_bufferSize;
    std::uint64_t m_bufferStart = 0; ///< stream offset of m_buffer[0]
    std::size_t m_bufferFill = 0;    ///< valid bytes in m_buffer
    std::size_t m_bufferIndex = 0;   ///< read index inside m_buffer
    std::uint64_t m_innerPosition = 0;
};

} // namespace velmora
