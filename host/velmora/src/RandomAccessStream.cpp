#include "velmora/RandomAccessStream.h"

#include "SeekTarget.h"
#include "velmora/Error.h"

#include <fmt/format.h>

namespace velmora {

RandomAccess::~RandomAccess() = default;

RandomAccessStream::RandomAccessStream(std::shared_ptr<RandomAccess> source) : m_source(std::move(source)) {
    if (!m_source) {
        throw InvalidArgument("random-access stream: null source");
    }
}

std::uint64_t RandomAccessStream::capabilities() const {
    return READ | SEEK | SIZE;
}

std::uint64_t RandomAccessStream::read(std::uint64_t count, void* destination) {
    if (count == 0 || m_position >= m_source->size()) {
        return 0;
    }
    const std::uint64_t delivered = m_source->readAt(m_position, count, destination);
    if (delivered > count) {
        throw Error(fmt::format("random-access source delivered {} bytes at offset {} where {} were asked",
                                delivered, m_position, count));
    }
    m_position += delivered;
    return delivered;
}

std::uint64_t RandomAccessStream::tell() const {
    return m_position;
}

void RandomAccessStream::seek(std::int64_t offset, SeekOrigin origin) {
    m_position = detail::seekTarget(offset, origin, m_position, m_source->size());
}

std::optional<std::uint64_t> RandomAccessStream::size() const {
    return m_source->size();
}

} // namespace velmora
