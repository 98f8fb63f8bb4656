#include "velmora/MemoryStream.h"

#include "SeekTarget.h"
#include "velmora/Error.h"

#include <algorithm>
#include <cstring>

namespace velmora {

MemoryStream::MemoryStream(std::shared_ptr<const std::vector<std::uint8_t>> bytes)
    : m_owner(std::move(bytes)) {
    if (!m_owner) {
        throw InvalidArgument("memory stream: null byte buffer");
    }
    m_data = m_owner->data();
    m_size = m_owner->size();
}

MemoryStream::MemoryStream(const void* data, std::uint64_t size)
    : m_data(static_cast<const std::uint8_t*>(data)), m_size(size) {
    if (data == nullptr && size != 0) {
        throw InvalidArgument("memory stream: null data of non-zero size");
    }
}

std::uint64_t MemoryStream::capabilities() const {
    return READ | SEEK | SIZE;
}

std::uint64_t MemoryStream::read(std::uint64_t count, void* destination) {
    if (m_position >= m_size || count == 0) {
        return 0;
    }
    const std::uint64_t n = std::min(count, m_size - m_position);
    std::memcpy(destination, m_data + m_position, n);
    m_position += n;
    return n;
}

std::uint64_t MemoryStream::tell() const {
    return m_position;
}

void MemoryStream::seek(std::int64_t offset, SeekOrigin origin) {
    m_position = detail::seekTarget(offset, origin, m_position, m_size);
}

std::optional<std::uint64_t> MemoryStream::size() const {
    return m_size;
}

} // namespace velmora
