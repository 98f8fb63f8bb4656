// A frame read a piece at a time gives the bytes of its whole-frame read, for piece sizes from one
// element up (pieces never larger than asked, unless one element is), and its rows plane by plane;
// a frame that the file ends inside is refused, or read with zeros for its missing bytes.

#include "FrameReader.h"

#include "HostFileTestSupport.h"
#include "velmora/Error.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace hostfile_test;
using trestan::cli::FrameReader;
using trestan::toolkit::HostFile;
using trestan::toolkit::ReadThrough;

std::vector<std::uint8_t> whole(const HostFile& file, std::size_t frame) {
    return regionBytes(file, frame, velmora::RegionX<std::size_t>::whole(file.index().frames[frame].shape));
}

TEST(FrameReader, PiecesAndRowsAreTheWholeFramesBytes) {
    // uint16, RGB colour, float64, int8 of four axes
    const std::string path =
        writeDmFile("frames.dm4", {dmwriter::rampImage(10, {7, 5, 3}), dmwriter::rampImage(23, {5, 3, 2}),
                                   dmwriter::rampImage(12, {9}), dmwriter::rampImage(9, {3, 2, 2, 3})});
    const HostFile file = HostFile::open(pluginHost(), path, ReadThrough::Index);
    for (std::size_t frame = 0; frame < file.index().frames.size(); ++frame) {
        const std::vector<std::uint8_t> expected = whole(file, frame);
        const FrameReader probe(file, frame, false);
        const std::size_t element = probe.dataType().elementSize();
        const std::size_t row = probe.rowBytes();
        for (const std::size_t pieceBytes : {std::size_t{1}, element, 3 * element + 1, row, 2 * row + 5,
                                             row * probe.height(), expected.size() - 1, expected.size()}) {
            const FrameReader reader(file, frame, false, pieceBytes);
            std::vector<std::uint8_t> joined;
            std::size_t largest = 0;
            reader.forEachPiece([&](const std::uint8_t* bytes, std::size_t size) {
                joined.insert(joined.end(), bytes, bytes + size);
                largest = std::max(largest, size);
            });
            EXPECT_EQ(joined, expected) << "frame " << frame << ", pieces of " << pieceBytes;
            EXPECT_LE(largest, std::max(pieceBytes, element)) << "frame " << frame;

            std::vector<std::uint8_t> rows;
            for (std::uint64_t plane = 0; plane < reader.planeCount(); ++plane) {
                for (std::size_t first = 0; first < reader.height(); first += reader.rowsPerPiece()) {
                    const std::size_t count = std::min(reader.rowsPerPiece(), reader.height() - first);
                    std::vector<std::uint8_t> piece(count * row);
                    reader.readRows(plane, first, count, piece.data());
                    rows.insert(rows.end(), piece.begin(), piece.end());
                }
            }
            EXPECT_EQ(rows, expected) << "frame " << frame << ", rows in pieces of " << pieceBytes;
        }
    }
}

TEST(FrameReader, AFrameTheFileEndsInsideIsRefusedUnlessAllowed) {
    dmwriter::ImageDefinition declared = dmwriter::rampImage(2, {4, 4});
    declared.dimensions = {4096, 64}; // 1 MiB declared, 64 bytes held
    const std::string path = writeDmFile("short.dm4", {declared});
    const HostFile indexed = HostFile::open(pluginHost(), path, ReadThrough::Index);
    ASSERT_TRUE(indexed.index().frames[0].truncated());
    try {
        FrameReader(indexed, 0, false);
        FAIL() << "read a frame that the file ends inside";
    } catch (const velmora::Error& error) {
        EXPECT_NE(std::string(error.what())
                      .find("holds " + std::to_string(*indexed.index().frames[0].bytesInFile) +
                            " of the 1048576 bytes"),
                  std::string::npos)
            << error.what();
    }
    // The missing bytes read as zeros, as the plugin reads them.
    const FrameReader reader(indexed, 0, true, 4096);
    std::vector<std::uint8_t> joined;
    reader.forEachPiece([&](const std::uint8_t* bytes, std::size_t size) {
        joined.insert(joined.end(), bytes, bytes + size);
    });
    EXPECT_EQ(joined, whole(HostFile::open(pluginHost(), path, ReadThrough::Plugin), 0));
}

} // namespace
