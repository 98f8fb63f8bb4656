#pragma once

#include "trestan/toolkit/FreshMemory.h"
#include "trestan/toolkit/HostFile.h"
#include "velmora/ImageProperties.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace trestan::cli {

/// One frame of a file, read in pieces of bounded size: its pixels as the frame's region reads
/// deliver them (packed, axis 0 fastest; colour 3 bytes a pixel), never the whole frame at once, so
/// that a frame of any size is hashed or written in the memory of a piece.
///
/// Rows and planes: a row runs along axis 0 (the frame's width), axis 1 counts the rows of a plane,
/// and every position of the axes above 1 is a plane; a frame of fewer axes has one row or one plane.
class FrameReader {
public:
    /// The largest piece read at once.
    static constexpr std::size_t PieceBytes = std::size_t{64} << 20;

    /// Frame `frame` of `file`. A frame that the file ends inside is refused with velmora::Error,
    /// naming the bytes it declares and the bytes the file holds, unless `allowTruncated`: its
    /// missing bytes then read as zeros.
    FrameReader(const toolkit::HostFile& file, std::size_t frame, bool allowTruncated,
                std::size_t pieceBytes = PieceBytes);

    std::size_t index() const { return m_frame; }
    const velmora::VectorX<std::size_t>& shape() const { return m_stored->shape; }
    velmora::DataType dataType() const { return m_stored->dataType; }
    const velmora::ImageProperties& properties() const { return m_stored->properties; }

    /// Bytes of the whole frame as delivered, or velmora::Error when they overflow.
    std::uint64_t byteCount() const;

    std::size_t width() const;
    std::size_t height() const;
    std::uint64_t planeCount() const;
    std::size_t rowBytes() const { return width() * dataType().elementSize(); }
    /// Rows of the frame's width that fit in a piece (at least one).
    std::size_t rowsPerPiece() const;

    /// Calls `consume` with each piece of the whole frame in turn, in the order of its bytes.
    void forEachPiece(const std::function<void(const std::uint8_t* bytes, std::size_t size)>& consume) const;

    /// Memory for a piece of `bytes` bytes, not zero-filled, on huge pages where the kernel offers
    /// them; velmora::Error when it cannot be had.
    static std::unique_ptr<toolkit::FreshMemory> buffer(std::size_t bytes);

    /// Reads `rowCount` rows of plane `plane`, from row `firstRow` on, into `destination`.
    void readRows(std::uint64_t plane, std::size_t firstRow, std::size_t rowCount,
                  std::uint8_t* destination) const;

private:
    const toolkit::HostFile& m_file;
    std::size_t m_frame;
    const toolkit::IndexedFrame* m_stored;
    std::size_t m_pieceBytes;
};

} // namespace trestan::cli
