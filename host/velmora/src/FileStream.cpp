#include "velmora/FileStream.h"

#include "SeekTarget.h"
#include "velmora/Error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

// Linux transfers at most about 2 GiB per call; asking for 1 GiB at a time keeps every request
// well inside that and inside ssize_t.
constexpr std::uint64_t MaximumChunk = std::uint64_t{1} << 30;
constexpr std::uint64_t MaximumOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

} // namespace

FileStream::FileStream(const std::string& path) : m_path(path) {
    // Opened without blocking: opening a FIFO for reading would otherwise wait for a writer.
    do {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        throw Error(fmt::format("cannot open '{}': {}", path, std::strerror(errno)));
    }
    const auto refuse = [&](const std::string& reason) {
        ::close(m_fd);
        throw Error(fmt::format("cannot open '{}': {}", path, reason));
    };
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        refuse(std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        refuse(std::strerror(EISDIR));
    }
    // Positioned reads need a file that keeps its bytes: a FIFO or a socket does not.
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
        refuse("not a regular file");
    }
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        refuse(std::strerror(errno));
    }
    // Only a regular file has a meaningful size; devices and /proc files report 0 or nothing.
    if (S_ISREG(info.st_mode)) {
        m_size = static_cast<std::uint64_t>(info.st_size);
        m_sizeKnown = true;
    }
}

FileStream::~FileStream() {
    ::close(m_fd);
}

std::uint64_t FileStream::capabilities() const {
    return m_sizeKnown ? (READ | SEEK | SIZE) : (READ | SEEK);
}

std::uint64_t FileStream::read(std::uint64_t count, void* destination) {
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint64_t delivered = 0;
    while (delivered < count) {
        // A position past what off_t can address is past the end of any file.
        if (m_position >= MaximumOffset) {
            break;
        }
        const std::uint64_t chunk = std::min({count - delivered, MaximumChunk, MaximumOffset - m_position});
        const ssize_t n = ::pread(m_fd, out + delivered, chunk, static_cast<off_t>(m_position));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Error(
                fmt::format("cannot read '{}' at offset {}: {}", m_path, m_position, std::strerror(errno)));
        }
        if (n == 0) {
            break; // end of the file
        }
        delivered += static_cast<std::uint64_t>(n);
        m_position += static_cast<std::uint64_t>(n);
    }
    return delivered;
}

std::uint64_t FileStream::tell() const {
    return m_position;
}

void FileStream::seek(std::int64_t offset, SeekOrigin origin) {
    m_position = detail::seekTarget(offset, origin, m_position, size());
}

std::optional<std::uint64_t> FileStream::size() const {
    if (!m_sizeKnown) {
        return std::nullopt;
    }
    return m_size;
}

} // namespace velmora
