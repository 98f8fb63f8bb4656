#include "RawWriter.h"

#include "OutputFile.h"

namespace trestan::cli {

void RawWriter::checkSupported(const velmora::VectorX<std::size_t>&, velmora::DataType) const {}

void RawWriter::write(const FramePixels& pixels, const std::string& path) const {
    OutputFile file(path);
    file.write(pixels.bytes().data(), pixels.bytes().size());
    file.close();
}

} // namespace trestan::cli
