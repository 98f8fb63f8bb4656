#pragma once

#include "velmora/RandomAccess.h"
#include "velmora/StreamAccess.h"

#include <cstdint>
#include <memory>

namespace velmora {

/// Gives a RandomAccess source a position: READ | SEEK | SIZE.
class VELMORA_API RandomAccessStream final : public StreamAccess {
public:
    explicit RandomAccessStream(std::shared_ptr<RandomAccess> source);

    std::uint64_t capabilities() const override;
    std::uint64_t read(std::uint64_t count, void* destination) override;
    std::uint64_t tell() const override;
    void seek(std::int64_t offset, SeekOrigin origin) override;
    std::optional<std::uint64_t> size() const override;

private:
    std::shared_ptr<RandomAccess> m_source;
    std::uint64_t m_position = 0;
};

} // namespace velmora
