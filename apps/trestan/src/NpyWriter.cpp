#include "NpyWriter.h"

#include "CommandLineError.h"
#include "OutputFile.h"

namespace trestan::cli {

namespace {

constexpr std::size_t HeaderAlignment = 64;
// Magic string, version 1.0 and the 16-bit little-endian header length.
constexpr std::size_t PreambleSize = 10;

} // namespace

void NpyWriter::checkSupported(const velmora::VectorX<std::size_t>&, velmora::DataType type) const {
    descriptor(type);
}

std::string NpyWriter::descriptor(velmora::DataType type) {
    const std::uint32_t bits = type.bitsPerComponent();
    if (!type.isValid() || bits % 8 != 0) {
        throw UsageError("NumPy files cannot hold " + type.name() + " elements");
    }
    const std::size_t bytes = bits / 8;
    if (type.isComplex()) {
        if (type.kind() != velmora::PrimitiveKind::FloatingPoint) {
            throw UsageError("NumPy files cannot hold " + type.name() + " elements");
        }
        return "<c" + std::to_string(bytes * 2);
    }
    char kind = 'u';
    if (type.kind() == velmora::PrimitiveKind::SignedInteger) {
        kind = 'i';
    } else if (type.kind() == velmora::PrimitiveKind::FloatingPoint) {
        kind = 'f';
    }
    return std::string(bytes == 1 ? "|" : "<") + kind + std::to_string(bytes);
}

std::string NpyWriter::header(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) {
    std::string tuple = "(";
    for (std::size_t i = shape.size(); i-- > 0;) {
        tuple += std::to_string(shape[i]) + ", ";
    }
    if (!type.isComplex() && type.components() > 1) {
        tuple += std::to_string(type.components()) + ", ";
    }
    // A tuple of one element keeps its comma, "(5,)"; longer ones drop the last ", ".
    const std::size_t axes = shape.size() + (!type.isComplex() && type.components() > 1 ? 1 : 0);
    if (axes > 1) {
        tuple.resize(tuple.size() - 2);
    } else if (axes == 1) {
        tuple.pop_back();
    }
    tuple += ")";

    std::string dictionary =
        "{'descr': '" + descriptor(type) + "', 'fortran_order': False, 'shape': " + tuple + ", }";
    const std::size_t unpadded = PreambleSize + dictionary.size() + 1;
    const std::size_t padded = (unpadded + HeaderAlignment - 1) / HeaderAlignment * HeaderAlignment;
    if (padded - PreambleSize > 0xFFFF) {
        throw UsageError("the frame has too many axes for a NumPy 1.0 header");
    }
    dictionary.append(padded - unpadded, ' ');
    dictionary.push_back('\n');

    const std::size_t length = dictionary.size();
    std::string out = "\x93NUMPY";
    out.push_back('\x01');
    out.push_back('\x00');
    out.push_back(static_cast<char>(length & 0xFF));
    out.push_back(static_cast<char>((length >> 8) & 0xFF));
    return out + dictionary;
}

void NpyWriter::write(const FrameReader& frame, const std::string& path) const {
    const std::string head = header(frame.shape(), frame.dataType());
    OutputFile file(path);
    file.write(head);
    frame.forEachPiece([&](const std::uint8_t* bytes, std::size_t size) { file.write(bytes, size); });
    file.close();
}

} // namespace trestan::cli
