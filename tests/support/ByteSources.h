#pragma once

// Bytes for tests to read from: a temporary file, a random-access source over memory, and the
// contents of a file.

#include "velmora/RandomAccess.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testsupport {

/// A file in the temporary directory holding the given bytes, removed with the object.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::vector<std::uint8_t>& bytes, const std::string& suffix = ".bin") {
        static std::atomic<int> s_counter{0};
        m_path = (std::filesystem::temp_directory_path() /
                  ("trestan-test-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++) + suffix))
                     .string();
        std::ofstream out(m_path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

/// The whole contents of a file (empty when it cannot be read).
inline std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// A random-access source over its own copy of some bytes.
class MemorySource final : public velmora::RandomAccess {
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}

    std::uint64_t size() const override { return m_bytes.size(); }
    std::uint64_t readAt(std::uint64_t offset, std::uint64_t count, void* destination) const override {
        if (offset >= m_bytes.size()) {
            return 0;
        }
        const std::uint64_t n = std::min<std::uint64_t>(count, m_bytes.size() - offset);
        std::memcpy(destination, m_bytes.data() + offset, n);
        return n;
    }

private:
    const std::vector<std::uint8_t> m_bytes;
};

} // namespace testsupport
