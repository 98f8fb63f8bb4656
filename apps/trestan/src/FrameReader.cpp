#include "FrameReader.h"

#include "velmora/Error.h"

#include <algorithm>
#include <memory>
#include <new>

namespace trestan::cli {

FrameReader::FrameReader(const toolkit::HostFile& file, std::size_t frame, bool allowTruncated,
                         std::size_t pieceBytes)
    : m_file(file), m_frame(frame), m_stored(&file.index().frames.at(frame)), m_pieceBytes(pieceBytes) {
    if (!dataType().isValid() || dataType().elementSize() == 0) {
        throw velmora::Error("the frame has no valid data type (" + dataType().name() + ")");
    }
    if (m_stored->truncated() && !allowTruncated) {
        throw velmora::Error("the file holds " + std::to_string(*m_stored->bytesInFile) + " of the " +
                             std::to_string(m_stored->byteCount) +
                             " bytes of its pixels (it ends inside them); --allow-truncated reads the "
                             "missing bytes as zeros");
    }
    byteCount(); // refuses a frame whose size overflows before anything is read
}

std::unique_ptr<toolkit::FreshMemory> FrameReader::buffer(std::size_t bytes) {
    try {
        return std::make_unique<toolkit::FreshMemory>(bytes);
    } catch (const std::bad_alloc&) {
        throw velmora::Error("no memory for a piece of " + std::to_string(bytes) + " bytes of the frame");
    }
}

std::uint64_t FrameReader::byteCount() const {
    std::uint64_t bytes = dataType().elementSize();
    for (const std::size_t length : shape()) {
        if (__builtin_mul_overflow(bytes, std::uint64_t{length}, &bytes)) {
            throw velmora::Error("the frame's size overflows 64 bits");
        }
    }
    return bytes;
}

std::size_t FrameReader::width() const {
    return shape().size() > 0 ? shape()[0] : 1;
}

std::size_t FrameReader::height() const {
    return shape().size() > 1 ? shape()[1] : 1;
}

std::uint64_t FrameReader::planeCount() const {
    std::uint64_t planes = 1;
    for (std::size_t axis = 2; axis < shape().size(); ++axis) {
        planes *= shape()[axis];
    }
    return planes;
}

std::size_t FrameReader::rowsPerPiece() const {
    return std::max<std::size_t>(1, m_pieceBytes / std::max<std::size_t>(1, rowBytes()));
}

void FrameReader::forEachPiece(const std::function<void(const std::uint8_t*, std::size_t)>& consume) const {
    if (byteCount() == 0) {
        return;
    }
    const velmora::VectorX<std::size_t>& lengths = shape();
    const std::size_t axes = lengths.size();
    // Pieces hold whole lengths of the lowest axes; `split` is the first axis that does not fit
    // whole beside those below it, and is read `step` positions at a time.
    std::size_t below = dataType().elementSize();
    std::size_t split = 0;
    std::size_t wider = 0;
    while (split < axes && !__builtin_mul_overflow(below, lengths[split], &wider) && wider <= m_pieceBytes) {
        below = wider;
        ++split;
    }
    if (split == axes) {
        const std::unique_ptr<toolkit::FreshMemory> piece = buffer(below);
        m_file.readRegion(m_frame, velmora::RegionX<std::size_t>::whole(lengths), piece->data());
        consume(piece->data(), below);
        return;
    }
    const std::size_t step = std::max<std::size_t>(1, m_pieceBytes / below);
    const std::unique_ptr<toolkit::FreshMemory> piece = buffer(std::min(step, lengths[split]) * below);
    velmora::VectorX<std::size_t> offset(axes, 0);
    velmora::VectorX<std::size_t> size = lengths;
    for (std::size_t axis = split + 1; axis < axes; ++axis) {
        size[axis] = 1;
    }
    while (true) {
        for (std::size_t first = 0; first < lengths[split]; first += step) {
            offset[split] = first;
            size[split] = std::min(step, lengths[split] - first);
            m_file.readRegion(m_frame, velmora::RegionX<std::size_t>(offset, size), piece->data());
            consume(piece->data(), size[split] * below);
        }
        // The next position of the axes above the split, the lowest fastest.
        std::size_t axis = split + 1;
        for (; axis < axes; ++axis) {
            if (++offset[axis] < lengths[axis]) {
                break;
            }
            offset[axis] = 0;
        }
        if (axis == axes) {
            return;
        }
    }
}

void FrameReader::readRows(std::uint64_t plane, std::size_t firstRow, std::size_t rowCount,
                           std::uint8_t* destination) const {
    const velmora::VectorX<std::size_t>& lengths = shape();
    const std::size_t axes = lengths.size();
    velmora::VectorX<std::size_t> offset(axes, 0);
    velmora::VectorX<std::size_t> size = lengths;
    if (axes > 1) {
        offset[1] = firstRow;
        size[1] = rowCount;
    }
    for (std::size_t axis = 2; axis < axes; ++axis) {
        offset[axis] = static_cast<std::size_t>(plane % lengths[axis]);
        plane /= lengths[axis];
        size[axis] = 1;
    }
    m_file.readRegion(m_frame, velmora::RegionX<std::size_t>(offset, size), destination);
}

} // namespace trestan::cli
