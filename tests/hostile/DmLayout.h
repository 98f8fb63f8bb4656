#pragma once

// Where the structure of a DM file lies: the fields the reader interprets (header, directory flags
// and counts, entry type bytes, name lengths and names, DM4 entry sizes, tag separators, info counts
// and info arrays) as opposed to value and pixel bytes. Worked out here independently of the reader,
// so that the sweeps can aim their changes at the bytes that steer the tag walk.

#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

/// One structural field: its bytes and what it is ("entry count of \"ImageList\"").
struct StructuralField {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string what;
};

/// The value bytes of an array named "Data": image pixels, which the tag walk skips without reading.
struct DataRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

struct DmLayout {
    std::vector<StructuralField> fields; ///< in file order
    std::vector<DataRange> data;         ///< in file order
};

/// The layout of a well-formed DM3 or DM4 file. Throws std::runtime_error for a file that is not well
/// formed (this is a test oracle for good files, not a reader).
DmLayout scanLayout(const std::vector<std::uint8_t>& bytes);

/// Every byte offset covered by a structural field, ascending.
std::vector<std::uint64_t> structuralOffsets(const std::vector<StructuralField>& fields);

/// The field holding `offset`, or nullptr.
const StructuralField* fieldAt(const std::vector<StructuralField>& fields, std::uint64_t offset);

} // namespace hostile
