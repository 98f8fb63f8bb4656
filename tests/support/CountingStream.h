#pragma once

#include "velmora/StreamAccess.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace testsupport {

/// Passes every call to another stream and records what the reader asked of it: how many bytes it
/// was given, the largest single read it requested, and every seek.
class CountingStream final : public velmora::StreamAccess {
public:
    explicit CountingStream(std::shared_ptr<velmora::StreamAccess> inner) : m_inner(std::move(inner)) {}

    std::uint64_t capabilities() const override { return m_inner->capabilities(); }

    std::uint64_t read(std::uint64_t count, void* destination) override {
        m_largestRequest = std::max(m_largestRequest, count);
        const std::uint64_t delivered = m_inner->read(count, destination);
        m_bytesDelivered += delivered;
        return delivered;
    }

    std::uint64_t tell() const override { return m_inner->tell(); }

    void seek(std::int64_t offset, velmora::SeekOrigin origin) override {
        m_seeks.emplace_back(offset, origin);
        m_inner->seek(offset, origin);
    }

    std::optional<std::uint64_t> size() const override { return m_inner->size(); }

    std::uint64_t bytesDelivered() const { return m_bytesDelivered; }
    std::uint64_t largestRequest() const { return m_largestRequest; }
    const std::vector<std::pair<std::int64_t, velmora::SeekOrigin>>& seeks() const { return m_seeks; }

private:
    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_bytesDelivered = 0;
    std::uint64_t m_largestRequest = 0;
    std::vector<std::pair<std::int64_t, velmora::SeekOrigin>> m_seeks;
};

} // namespace testsupport
