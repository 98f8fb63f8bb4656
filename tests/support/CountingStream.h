#pragma once

#include "velmora/StreamAccess.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// Passes every call to another stream and records what the reader asked of it: how many bytes it
/// was given, the largest single read it requested, and every read and seek from the start in order
/// ("read N", "seek to N"). Once closed it refuses reads and seeks, which shows that nobody uses it
/// any more.
class CountingStream final : public velmora::StreamAccess {
public:
    explicit CountingStream(std::shared_ptr<velmora::StreamAccess> inner) : m_inner(std::move(inner)) {}

    std::uint64_t capabilities() const override { return m_inner->capabilities(); }
    std::uint64_t tell() const override { return m_inner->tell(); }
    std::optional<std::uint64_t> size() const override { return m_inner->size(); }

    std::uint64_t read(std::uint64_t count, void* destination) override {
        use("read " + std::to_string(count));
        m_largestRequest = std::max(m_largestRequest, count);
        const std::uint64_t delivered = m_inner->read(count, destination);
        m_bytesDelivered += delivered;
        return delivered;
    }

    void seek(std::int64_t offset, velmora::SeekOrigin origin) override {
        use(origin == velmora::SeekOrigin::Begin ? "seek to " + std::to_string(offset) : "");
        m_inner->seek(offset, origin);
    }

    void close() { m_closed = true; }
    std::uint64_t bytesDelivered() const { return m_bytesDelivered; }
    std::uint64_t largestRequest() const { return m_largestRequest; }
    const std::vector<std::string>& events() const { return m_events; }

private:
    void use(std::string event) {
        if (m_closed) {
            throw std::logic_error("the stream was used after it was closed");
        }
        if (!event.empty()) {
            m_events.push_back(std::move(event));
        }
    }

    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_bytesDelivered = 0;
    std::uint64_t m_largestRequest = 0;
    std::vector<std::string> m_events;
    bool m_closed = false;
};

} // namespace testsupport
