#pragma once

#include "velmora/StreamAccess.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace testsupport {

/// Passes every call to another stream and records what the reader asked of it: how many bytes it
/// was given, the largest single read it requested, and every read and seek from the start in order.
/// Once closed it refuses reads and seeks, which shows that nobody uses it any more.
class CountingStream final : public velmora::StreamAccess {
public:
    explicit CountingStream(std::shared_ptr<velmora::StreamAccess> inner) : m_inner(std::move(inner)) {}

    std::uint64_t capabilities() const override { return m_inner->capabilities(); }

    std::uint64_t read(std::uint64_t count, void* destination) override {
        refuseWhenClosed();
        m_events.push_back({Event::Read, count});
        m_largestRequest = std::max(m_largestRequest, count);
        const std::uint64_t delivered = m_inner->read(count, destination);
        m_bytesDelivered += delivered;
        return delivered;
    }

    std::uint64_t tell() const override { return m_inner->tell(); }

    void seek(std::int64_t offset, velmora::SeekOrigin origin) override {
        refuseWhenClosed();
        if (origin == velmora::SeekOrigin::Begin) {
            m_events.push_back({Event::SeekFromStart, static_cast<std::uint64_t>(offset)});
        }
        m_inner->seek(offset, origin);
    }

    std::optional<std::uint64_t> size() const override { return m_inner->size(); }

    struct Event {
        enum Kind { Read, SeekFromStart } kind;
        std::uint64_t value;
        bool operator==(const Event&) const = default;
        friend std::ostream& operator<<(std::ostream& out, const Event& event) {
            return out << (event.kind == Read ? "read " : "seek to ") << event.value;
        }
    };

    void close() { m_closed = true; }
    std::uint64_t bytesDelivered() const { return m_bytesDelivered; }
    std::uint64_t largestRequest() const { return m_largestRequest; }
    const std::vector<Event>& events() const { return m_events; }

private:
    void refuseWhenClosed() const {
        if (m_closed) {
            throw std::logic_error("the stream was used after it was closed");
        }
    }

    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_bytesDelivered = 0;
    std::uint64_t m_largestRequest = 0;
    std::vector<Event> m_events;
    bool m_closed = false;
};

} // namespace testsupport
