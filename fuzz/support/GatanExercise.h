#pragma once

// What the fuzzer, the hostile-input sweeps and the fuzz regression test do with one input: open it
// as a host would, walk the whole metadata tree, and read every frame. One definition, so that a
// finding replays in the test suite exactly as the fuzzer met it.

#include "GatanExtractor.h"
#include "trestan/gatan/DmIndex.h"
#include "velmora/StreamAccess.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace gatanfuzz {

/// Largest whole-frame read made. A file of a few bytes may declare an image of terabytes: its pixels
/// past the end of the data read as zeros, so such a frame opens legitimately, but copying all of it
/// would only measure the machine. Frames above the budget are read one element at their first and
/// at their last index instead, which still touches both ends of the pixel buffer.
inline constexpr std::size_t RegionBudget = std::size_t{64} << 20;

/// The length error message that the reader's rules allow (a negative or absurd count).
inline constexpr const char* AllowedLengthError = "cannot create std::vector larger than max_size()";

/// How an open ended. Every other ending (another exception type, another length error message, a
/// crash) is a finding and is not represented here.
enum class Outcome {
    Opened,      ///< opened; the whole tree was walked and every frame read
    Refused,     ///< velmora::Error or one of its kinds
    LengthError, ///< std::length_error with the allowed message
    OutOfMemory, ///< std::bad_alloc (a pixel buffer that cannot be allocated)
};

const char* outcomeName(Outcome outcome);

/// What one input gave.
struct Report {
    Outcome outcome = Outcome::Opened;
    std::string message;        ///< the refusal's message
    std::size_t widestList = 0; ///< most children of one node walked
    std::size_t frames = 0;     ///< frames of an opened file
    std::uint64_t checksum = 0; ///< of every name, value and pixel byte seen
};

/// An opened file that breaks a rule every opened file keeps (thrown after a successful open).
class BrokenInvariant : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

/// Creates the plugin's logger once per process at debug level with its console sink muted: every
/// log message of the reader is formatted (so hostile names pass through the formatting), none is
/// printed.
void prepareLogger();

/// Where an open puts the metadata it makes.
enum class Metadata {
    /// In a velmora::MetadataArena of its own, as the plugin's open does (the fuzzer's choice).
    InArena,
    /// Node by node on the heap: every node and value then goes through operator new, where the
    /// sweeps' allocation rules see it and AddressSanitizer watches each one's lifetime.
    OnHeap,
};

/// Opens `stream` with the reader. Returns the extractor, or an empty pointer with the outcome
/// recorded in `report` when the open failed with an allowed exception. Any other exception
/// propagates.
std::shared_ptr<GatanExtractor> open(std::shared_ptr<velmora::StreamAccess> stream, Report& report,
                                     Metadata metadata = Metadata::InArena);

/// Walks the whole tree of an opened file, touching every name and value byte, and reads every frame
/// (whole, or sampled above RegionBudget). Throws BrokenInvariant, or whatever the host or the
/// reader throws, when an opened file does not behave as one.
void inspect(velmora::MultiImageView& extractor, Report& report);

/// Makes the index of the input under test (trestan::gatan::DmIndex::build from its path, stream
/// or source).
using IndexBuild = std::function<trestan::gatan::DmIndex()>;
/// Reads stored bytes of an indexed frame of the same input (trestan::gatan::readFrameBytes).
using FrameBytes = std::function<void(const trestan::gatan::DmIndex::Frame& frame, std::uint64_t firstByte,
                                      std::uint64_t count, void* destination)>;

/// Where the index of an input disagrees with the plugin's open of it (`report`, and `extractor`, an
/// inspected view, null when the open failed); empty when they agree. A refusal must be the plugin's,
/// message and all; a file the plugin opens must give the same tree node for node, and the same
/// frames: shape, element type, properties and calibration, and pixels (stored bytes read through
/// `read`, colour pixels less their fourth byte, against the plugin's region read; whole frames up
/// to RegionBudget, above it the first and last element). Only where the plugin ran out of memory
/// may the index describe a file the plugin could not open.
std::string indexDisagreement(const IndexBuild& build, const FrameBytes& read, const Report& report,
                              velmora::MultiImageView* extractor);

/// indexDisagreement for `size` bytes at `data`, indexed and read through memory streams.
std::string indexDisagreement(const std::uint8_t* data, std::size_t size, const Report& report,
                              velmora::MultiImageView* extractor);

/// open() through a memory stream over `data`, then inspect(), then the index of the same bytes,
/// which must agree with the plugin (BrokenInvariant otherwise).
Report exercise(const std::uint8_t* data, std::size_t size);

} // namespace gatanfuzz
