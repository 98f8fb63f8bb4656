#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace trestan::cli {

/// A file opened for binary writing whose failures are thrown as OutputError with the system's
/// reason. Closed by close(), or silently by the destructor after a failure.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, std::size_t size);
    void write(const std::string& text) { write(text.data(), text.size()); }
    /// Flushes and closes the file.
    void close();

    /// The C stream, for libraries that write through one (libpng).
    std::FILE* stream() const { return m_file; }

private:
    std::string m_path;
    std::FILE* m_file = nullptr;
};

} // namespace trestan::cli
