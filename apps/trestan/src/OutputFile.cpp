#include "OutputFile.h"

#include "CommandLineError.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace trestan::cli {

OutputFile::OutputFile(const std::string& path) : m_path(path), m_file(std::fopen(path.c_str(), "wb")) {
    if (m_file == nullptr) {
        throw OutputError(path, std::string("cannot create the file: ") + std::strerror(errno));
    }
}

OutputFile::~OutputFile() {
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

void OutputFile::write(const void* data, std::size_t size) {
    // In pieces: a signal that ends the process is handled between two writes, and one write of a
    // whole frame can take seconds.
    constexpr std::size_t Piece = std::size_t{8} << 20;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t done = 0; done < size; done += Piece) {
        const std::size_t count = std::min(Piece, size - done);
        if (std::fwrite(bytes + done, 1, count, m_file) != count) {
            throw OutputError(m_path, std::string("cannot write the file: ") + std::strerror(errno));
        }
    }
}

void OutputFile::close() {
    std::FILE* file = m_file;
    m_file = nullptr;
    if (file != nullptr && std::fclose(file) != 0) {
        throw OutputError(m_path, std::string("cannot write the file: ") + std::strerror(errno));
    }
}

} // namespace trestan::cli
