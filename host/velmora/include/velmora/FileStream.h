#pragma once

#include "velmora/StreamAccess.h"

#include <cstdint>
#include <string>

namespace velmora {

/// An unbuffered read-only file stream: every read is one positioned system read (pread), and a
/// seek only moves the stream's own position. Wrap it in a BufferedStream for many small reads.
/// A regular file reports READ | SEEK | SIZE; other readable files (devices, /proc entries) have no
/// size and report READ | SEEK.
class VELMORA_API FileStream final : public StreamAccess {
public:
    /// Opens `path`; fails with velmora::Error naming the path and the system's reason (a directory
    /// is refused with "Is a directory", a FIFO or socket with "not a regular file").
    explicit FileStream(const std::string& path);
    ~FileStream() override;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    std::uint64_t capabilities() const override;
    std::uint64_t read(std::uint64_t count, void* destination) override;
    std::uint64_t tell() const override;
    void seek(std::int64_t offset, SeekOrigin origin) override;
    std::optional<std::uint64_t> size() const override;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    int m_fd = -1;
    std::uint64_t m_size = 0;
    bool m_sizeKnown = false; ///< only regular files have a size
    std::uint64_t m_position = 0;
};

} // namespace velmora
