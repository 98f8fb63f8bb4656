#include "RawWriter.h"

#include "OutputFile.h"

namespace trestan::cli {

void RawWriter::checkSupported(const velmora::VectorX<std::size_t>&, velmora::DataType) const {}

void RawWriter::write(const FrameReader& frame, const std::string& path) const {
    OutputFile file(path);
    frame.forEachPiece([&](const std::uint8_t* bytes, std::size_t size) { file.write(bytes, size); });
    file.close();
}

} // namespace trestan::cli
