#include "WholeFileRead.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace {

std::runtime_error fileError(const std::string& path, const char* what) {
    return std::runtime_error(path + ": " + what);
}

// Closes a descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

FreshBuffer::FreshBuffer(std::size_t bytes, Memory memory) {
    if (memory == Memory::HugePages) {
        m_hugePages = std::make_unique<trestan::toolkit::FreshMemory>(bytes);
        m_data = m_hugePages->data();
        return;
    }
    m_data = static_cast<std::uint8_t*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (m_data == nullptr) {
        throw std::bad_alloc();
    }
}

FreshBuffer::~FreshBuffer() {
    if (!m_hugePages) {
        std::free(m_data);
    }
}

std::uint64_t readWholeFile(const std::string& path, Memory memory) {
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        throw fileError(path, std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw fileError(path, std::strerror(errno));
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    const FreshBuffer buffer(size, memory);
    std::size_t done = 0;
    while (done < size) {
        // Linux moves at most about 2 GiB per call.
        const std::size_t chunk = std::min(size - done, std::size_t{1} << 30);
        const ssize_t n = ::pread(fd.get(), buffer.data() + done, chunk, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw fileError(path, std::strerror(errno));
        }
        if (n == 0) {
            throw fileError(path, "the file ended before its size");
        }
        done += static_cast<std::size_t>(n);
    }
    // Keep the compiler from seeing through the buffer.
    const volatile std::uint8_t last = size == 0 ? 0 : buffer.data()[size - 1];
    static_cast<void>(last);
    return done;
}

} // namespace bench
