#include "velmora/BufferedStream.h"

#include "SeekTarget.h"
#include "velmora/Error.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace velmora {

namespace {

constexpr std::uint64_t MaximumSeekable =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

} // namespace

BufferedStream::BufferedStream(std::shared_ptr<StreamAccess> inner, std::size_t bufferSize)
    : m_inner(std::move(inner)) {
    if (!m_inner) {
        throw InvalidArgument("buffered stream: null inner stream");
    }
    if ((m_inner->capabilities() & (READ | SEEK)) != (READ | SEEK)) {
        throw InvalidArgument("buffered stream: the inner stream cannot read and seek");
    }
    // Not zero-filled: only bytes the inner stream delivered are ever read from it, and pages of a
    // large buffer that a short file never reaches are never touched.
    m_bufferSize = std::max(bufferSize, MinimumBufferSize);
    m_buffer.reset(new std::uint8_t[m_bufferSize]);
    m_innerPosition = m_inner->tell();
    m_bufferStart = m_innerPosition;
}

std::uint64_t BufferedStream::capabilities() const {
    return m_inner->capabilities() & (READ | SEEK | SIZE);
}

std::uint64_t BufferedStream::read(std::uint64_t count, void* destination) {
    // The walk of a DM file makes millions of reads of 1 to 8 bytes; they all end here. `count - 1`
    // wraps for a count of 0, which thus goes the slow way and copies nothing.
    if (count - 1 < m_bufferFill - m_bufferIndex) {
        std::memcpy(destination, m_buffer.get() + m_bufferIndex, count);
        m_bufferIndex += count;
        return count;
    }
    return readSlow(count, static_cast<std::uint8_t*>(destination));
}

std::uint64_t BufferedStream::readSlow(std::uint64_t count, std::uint8_t* destination) {
    if (count == 0) {
        return 0;
    }
    std::uint64_t delivered = 0;
    const std::size_t buffered = m_bufferFill - m_bufferIndex;
    if (buffered != 0) {
        std::memcpy(destination, m_buffer.get() + m_bufferIndex, buffered);
        m_bufferIndex += buffered;
        delivered = buffered;
    }

    const std::uint64_t position = tell();
    if (position > MaximumSeekable) {
        return delivered; // no stream reaches that far
    }
    if (m_innerPosition != position) {
        m_inner->seek(static_cast<std::int64_t>(position), SeekOrigin::Begin);
        m_innerPosition = position;
    }

    const std::uint64_t remaining = count - delivered;
    if (count >= m_bufferSize) {
        // A large read goes straight to the destination; the buffer is left empty at its end.
        const std::uint64_t n = m_inner->read(remaining, destination + delivered);
        m_innerPosition = position + n;
        m_bufferStart = m_innerPosition;
        m_bufferFill = 0;
        m_bufferIndex = 0;
        return delivered + n;
    }

    const std::uint64_t filled = m_inner->read(m_bufferSize, m_buffer.get());
    if (filled > m_bufferSize) {
        throw Error("buffered stream: the inner stream delivered more bytes than asked");
    }
    m_innerPosition = position + filled;
    m_bufferStart = position;
    m_bufferFill = static_cast<std::size_t>(filled);
    const std::size_t n = static_cast<std::size_t>(std::min(remaining, filled));
    std::memcpy(destination + delivered, m_buffer.get(), n);
    m_bufferIndex = n;
    return delivered + n;
}

std::uint64_t BufferedStream::tell() const {
    return m_bufferStart + m_bufferIndex;
}

void BufferedStream::seek(std::int64_t offset, SeekOrigin origin) {
    const std::uint64_t target = detail::seekTarget(offset, origin, tell(), m_inner->size());
    if (target >= m_bufferStart && target - m_bufferStart <= m_bufferFill) {
        m_bufferIndex = static_cast<std::size_t>(target - m_bufferStart);
        return;
    }
    // Outside the window: drop the buffer. The inner stream is moved only when a read needs it.
    m_bufferStart = target;
    m_bufferFill = 0;
    m_bufferIndex = 0;
}

std::optional<std::uint64_t> BufferedStream::size() const {
    return m_inner->size();
}

} // namespace velmora
