#include "OutputFile.h"

#include "CommandLineError.h"

#include <cerrno>
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
    if (size > 0 && std::fwrite(data, 1, size, m_file) != size) {
        throw OutputError(m_path, std::string("cannot write the file: ") + std::strerror(errno));
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
