#include "GatanExercise.h"

#include "InternalPluginLogger.h"
#include "trestan/OptionMap.h"
#include "velmora/Error.h"
#include "velmora/Extension.h"
#include "velmora/ImageProperties.h"
#include "velmora/ImageView.h"
#include "velmora/MetadataArena.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"
#include "velmora/VariantDataValue.h"
#include "velmora/Vector.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <spdlog/sinks/sink.h>
#include <string_view>
#include <utility>
#include <vector>

namespace gatanfuzz {

namespace {

constexpr const char* FrameDisplayName = "GatanPlugin frame Extractor";

/// FNV-1a over everything the inspection touches: reading each byte into a sum is what makes the
/// sanitizers look at it, and the sum keeps the compiler from dropping the reads.
void mix(std::uint64_t& sum, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        sum = (sum ^ bytes[i]) * 0x100000001B3ULL;
    }
}

void mix(std::uint64_t& sum, std::string_view text) {
    mix(sum, text.data(), text.size());
}

template <typename T> void mixValue(std::uint64_t& sum, const T& value) {
    mix(sum, &value, sizeof value);
}

/// Throws BrokenInvariant naming `subject` (a node or a frame) unless `kept`; nothing is built when
/// the rule is kept, so that the walk of a large tree costs no allocations.
void require(bool kept, std::string_view subject, const char* what) {
    if (!kept) {
        throw BrokenInvariant("\"" + std::string(subject) + "\" " + what);
    }
}

void walkTree(const std::shared_ptr<velmora::MetadataNode>& root, Report& report) {
    // Iterative: a hostile file nests as deep as the reader allows.
    std::vector<const velmora::MetadataNode*> pending{root.get()};
    while (!pending.empty()) {
        const velmora::MetadataNode* node = pending.back();
        pending.pop_back();
        report.widestList = std::max(report.widestList, node->childCount());
        mix(report.checksum, node->name());
        if (const auto& value = node->value()) {
            mixValue(report.checksum, value->type());
            if (value->isString()) {
                require(value->count() == value->text().size(), node->name(),
                        "has a text value whose count is not its length");
                mix(report.checksum, value->text());
            } else if (value->count() > 0) {
                require(value->data() != nullptr, node->name(),
                        "has a numeric value of elements but no data");
                mix(report.checksum, value->data(), value->count() * velmora::valueTypeSize(value->type()));
            }
        }
        for (const auto& child : *node) {
            require(child != nullptr, node->name(), "has an empty child");
            pending.push_back(child.get());
        }
    }
}

/// Reads `region` into exactly `bytes` bytes followed by guard bytes that must stay untouched (past
/// the guard, AddressSanitizer watches the heap block's end).
void readInto(velmora::ImageView& frame, const velmora::RegionX<std::size_t>& region, std::size_t bytes,
              const std::string& which, Report& report) {
    constexpr std::size_t Guard = 64;
    std::vector<std::uint8_t> destination(bytes + Guard, 0xA5);
    frame.readRegion(region, destination.data());
    require(std::all_of(destination.begin() + static_cast<std::ptrdiff_t>(bytes), destination.end(),
                        [](std::uint8_t byte) { return byte == 0xA5; }),
            which, "wrote past the region read");
    mix(report.checksum, destination.data(), bytes);
}

void inspectFrame(velmora::ImageView& frame, const std::string& which, const velmora::MetadataNode* root,
                  Report& report) {
    const velmora::VectorX<std::size_t> shape = frame.shape();
    const std::size_t elementSize = frame.dataType().elementSize();
    require(elementSize != 0 && frame.metadata().get() == root && frame.capabilities() == 1, which,
            "has an element type of no bytes, another metadata tree or other capabilities");
    const auto properties = frame.properties();
    require(properties != nullptr, which, "has no properties");
    const auto& info = properties->imageInfo();
    mixValue(report.checksum, info.axes());
    mixValue(report.checksum, info.interpretation());
    mixValue(report.checksum, info.bitDepth());
    mixValue(report.checksum, info.valueRange());
    const auto& calibration = properties->calibration();
    mixValue(report.checksum, calibration.origin());
    mixValue(report.checksum, calibration.spacing());
    mix(report.checksum, calibration.unit());
    const auto origin = frame.viewOrigin();
    require(origin->displayName() == FrameDisplayName && origin->parentCount() == 1 && origin->parent(0),
            which, "lacks its view-origin record");

    // The region's bytes; an empty axis makes a frame of no bytes whatever the others say.
    bool empty = false;
    bool fits = true;
    std::size_t elements = 1;
    for (std::size_t length : shape) {
        empty = empty || length == 0;
        fits = fits && !__builtin_mul_overflow(elements, length, &elements);
    }
    std::size_t bytes = 0;
    fits = fits && !__builtin_mul_overflow(elements, elementSize, &bytes);
    if (empty || (fits && bytes <= RegionBudget)) {
        readInto(frame, velmora::RegionX<std::size_t>::whole(shape), empty ? 0 : bytes, which, report);
        return;
    }
    // Too large to copy whole: the first and the last element (every axis is non-empty here).
    velmora::VectorX<std::size_t> last(shape.size());
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        last[axis] = shape[axis] - 1;
    }
    const velmora::VectorX<std::size_t> one(shape.size(), 1);
    readInto(frame, velmora::RegionX<std::size_t>(velmora::VectorX<std::size_t>(shape.size(), 0), one),
             elementSize, which, report);
    readInto(frame, velmora::RegionX<std::size_t>(last, one), elementSize, which, report);
}

/// How building an index ended, caught as open() catches the plugin's open.
struct IndexResult {
    std::optional<trestan::gatan::DmIndex> index;
    Outcome outcome = Outcome::Opened;
    std::string message;
};

/// Runs `attempt` and sorts what it throws into the failures an open may end in: a refusal
/// (velmora::Error), the one allowed length error, or running out of memory. Anything else passes
/// on, among them std::bad_array_new_length (an array size computed from the file that went
/// negative or overflowed: never allowed).
template <typename Attempt> void sortFailure(Attempt&& attempt, Outcome& outcome, std::string& message) {
    try {
        attempt();
    } catch (const velmora::Error& error) {
        outcome = Outcome::Refused;
        message = error.what();
    } catch (const std::length_error& error) {
        if (std::strcmp(error.what(), AllowedLengthError) != 0) {
            throw;
        }
        outcome = Outcome::LengthError;
        message = error.what();
    } catch (const std::bad_array_new_length&) {
        throw;
    } catch (const std::bad_alloc& error) {
        outcome = Outcome::OutOfMemory;
        message = error.what();
    }
}

IndexResult buildIndex(const IndexBuild& build) {
    IndexResult result;
    sortFailure([&] { result.index.emplace(build()); }, result.outcome, result.message);
    return result;
}

bool sameValue(const velmora::MetadataNode& a, const velmora::MetadataNode& b) {
    const auto x = a.value();
    const auto y = b.value();
    if (!x || !y) {
        return !x && !y;
    }
    if (x->type() != y->type() || x->count() != y->count() || x->isString() != y->isString()) {
        return false;
    }
    if (x->isString()) {
        return x->text() == y->text();
    }
    return x->count() == 0 ||
           std::memcmp(x->data(), y->data(), x->count() * velmora::valueTypeSize(x->type())) == 0;
}

/// The first node (by name) where two trees differ in name, value or children; empty when equal.
std::string treeDisagreement(const velmora::MetadataNode& plugin, const velmora::MetadataNode& index) {
    std::vector<std::pair<const velmora::MetadataNode*, const velmora::MetadataNode*>> pending{
        {&plugin, &index}};
    while (!pending.empty()) {
        const auto [a, b] = pending.back();
        pending.pop_back();
        if (a->name() != b->name() || a->childCount() != b->childCount() || !sameValue(*a, *b)) {
            return "the index's node \"" + b->name() + "\" differs from the plugin's \"" + a->name() + "\"";
        }
        for (auto x = a->begin(), y = b->begin(); x != a->end(); ++x, ++y) {
            pending.emplace_back((*x).get(), (*y).get());
        }
    }
    return {};
}

/// The plugin frame's region `region` of `bytes` bytes.
std::vector<std::uint8_t> pluginRegion(velmora::ImageView& frame, const velmora::RegionX<std::size_t>& region,
                                       std::size_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    frame.readRegion(region, out.data());
    return out;
}

/// Whether the plugin's region reads of a frame (not empty, at most RegionBudget bytes) equal what
/// the index's stored bytes give when laid out by its strides, compared in pieces of about PieceBytes
/// through buffers that are reused: the axes below some axis `a` whole, a run of axis `a`, and one
/// index of every axis above it. Such a piece lies in one run of the file's bytes.
bool samePixels(velmora::ImageView& frame, const trestan::gatan::DmIndex::Frame& indexed,
                const FrameBytes& read) {
    constexpr std::size_t PieceBytes = std::size_t{1} << 20;
    const velmora::VectorX<std::size_t>& shape = indexed.shape;
    const velmora::VectorX<std::size_t>& strides = indexed.layout.strides();
    const std::size_t axes = shape.size();
    const std::size_t elementSize = indexed.dataType.elementSize();
    std::size_t a = 0;
    std::size_t step = elementSize; // bytes delivered per step of axis a
    while (a + 1 < axes && step * shape[a] <= PieceBytes) {
        step *= shape[a++];
    }
    const std::size_t run = std::max<std::size_t>(1, PieceBytes / step);

    velmora::VectorX<std::size_t> start(axes, 0);
    velmora::VectorX<std::size_t> size(axes, 1);
    velmora::VectorX<std::size_t> pieceShape(axes == 0 ? 0 : a + 1);
    velmora::VectorX<std::size_t> pieceStrides(pieceShape.size());
    for (std::size_t k = 0; k < pieceShape.size(); ++k) {
        size[k] = pieceShape[k] = shape[k];
        pieceStrides[k] = strides[k];
    }
    std::vector<std::uint8_t> fromPlugin, stored, fromIndex;
    for (;;) {
        for (std::size_t j = 0; j < (axes == 0 ? 1 : shape[a]); j += run) {
            if (axes != 0) {
                start[a] = j;
                size[a] = pieceShape[a] = std::min(run, shape[a] - j);
            }
            std::size_t elements = 1;
            for (std::size_t length : size) {
                elements *= length;
            }
            fromPlugin.resize(elements * elementSize);
            frame.readRegion(velmora::RegionX<std::size_t>(start, size), fromPlugin.data());
            const velmora::Indexer piece(pieceShape, indexed.dataType, pieceStrides);
            stored.resize(piece.byteCount());
            read(indexed, axes == 0 ? 0 : indexed.layout.offset(start), stored.size(), stored.data());
            fromIndex.resize(fromPlugin.size());
            velmora::RegionCopier(piece, velmora::RegionX<std::size_t>::whole(pieceShape), indexed.dataType)
                .copy(stored.data(), fromIndex.data());
            if (fromIndex != fromPlugin) {
                return false;
            }
        }
        // The next index of the axes above a, the lowest first.
        std::size_t k = a + 1;
        while (k < axes && ++start[k] == shape[k]) {
            start[k++] = 0;
        }
        if (k >= axes) {
            return true;
        }
    }
}

std::string frameDisagreement(velmora::ImageView& frame, const trestan::gatan::DmIndex::Frame& indexed,
                              const FrameBytes& read) {
    const std::string which = "frame " + std::to_string(indexed.index) + " of the index ";
    const velmora::VectorX<std::size_t> shape = frame.shape();
    if (indexed.shape != shape || indexed.dataType != frame.dataType() || indexed.layout.shape() != shape ||
        indexed.byteCount != indexed.layout.byteCount()) {
        return which + "differs in shape, element type or layout";
    }
    const auto& info = frame.properties()->imageInfo();
    const auto& calibration = frame.properties()->calibration();
    const auto& indexedInfo = indexed.properties.imageInfo();
    const auto& indexedCalibration = indexed.properties.calibration();
    // Calibrations compare bit for bit: NaN is a value a file may hold.
    const auto sameBits = [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    if (info.axes() != indexedInfo.axes() || info.interpretation() != indexedInfo.interpretation() ||
        info.bitDepth() != indexedInfo.bitDepth() || !sameBits(info.valueRange(), indexedInfo.valueRange()) ||
        !sameBits(calibration.origin(), indexedCalibration.origin()) ||
        !sameBits(calibration.spacing(), indexedCalibration.spacing()) ||
        calibration.unit() != indexedCalibration.unit()) {
        return which + "differs in its properties or calibration";
    }

    const std::size_t elementSize = indexed.dataType.elementSize();
    bool empty = false;
    bool fits = true;
    std::size_t elements = 1;
    for (std::size_t length : shape) {
        empty = empty || length == 0;
        fits = fits && !__builtin_mul_overflow(elements, length, &elements);
    }
    std::size_t bytes = 0;
    fits = fits && !__builtin_mul_overflow(elements, elementSize, &bytes);
    if (empty) {
        return {};
    }
    if (fits && bytes <= RegionBudget) {
        return samePixels(frame, indexed, read) ? std::string() : which + "reads other pixels";
    }
    // Too large to read whole: the first and the last element, at the offsets the layout gives.
    velmora::VectorX<std::size_t> last(shape.size());
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        last[axis] = shape[axis] - 1;
    }
    for (const velmora::VectorX<std::size_t>& at : {velmora::VectorX<std::size_t>(shape.size(), 0), last}) {
        std::vector<std::uint8_t> element(elementSize);
        read(indexed, indexed.layout.offset(at), elementSize, element.data());
        if (element !=
            pluginRegion(frame,
                         velmora::RegionX<std::size_t>(at, velmora::VectorX<std::size_t>(shape.size(), 1)),
                         elementSize)) {
            return which + "reads other pixels at its first or last element";
        }
    }
    return {};
}

} // namespace

const char* outcomeName(Outcome outcome) {
    constexpr const char* Names[] = {"opened", "velmora::Error", "std::length_error", "std::bad_alloc"};
    return Names[static_cast<int>(outcome)];
}

void prepareLogger() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        InternalPluginLogger::init(GatanExtractor::PluginName, velmora::LogLevel::Debug);
        for (const auto& sink : InternalPluginLogger::instance()->logger()->sinks()) {
            sink->set_level(spdlog::level::off);
        }
    });
}

std::shared_ptr<GatanExtractor> open(std::shared_ptr<velmora::StreamAccess> stream, Report& report,
                                     Metadata metadata) {
    std::shared_ptr<GatanExtractor> opened;
    sortFailure(
        [&] {
            if (metadata == Metadata::OnHeap) {
                opened = std::make_shared<GatanExtractor>(std::move(stream), "DM", trestan::OptionMap{});
                return;
            }
            const velmora::MetadataArena::Scope metadataMemory;
            opened = std::make_shared<GatanExtractor>(std::move(stream), "DM", trestan::OptionMap{});
        },
        report.outcome, report.message);
    return opened;
}

void inspect(velmora::MultiImageView& extractor, Report& report) {
    report.outcome = Outcome::Opened;
    const auto root = extractor.metadata();
    require(root && root->name() == "root" && root->childCount() == 1 && root->childAt(0)->name() == "GATAN",
            "root", "is not a node \"root\" holding \"GATAN\"");
    walkTree(root, report);
    mix(report.checksum, extractor.viewOrigin()->displayName());
    report.frames = extractor.frameCount();
    for (std::size_t index = 0; index < report.frames; ++index) {
        const auto frame = extractor.frame(index);
        const std::string which = "frame " + std::to_string(index);
        require(frame != nullptr, which, "is empty");
        inspectFrame(*frame, which, root.get(), report);
    }
    try {
        extractor.frame(report.frames);
        require(false, "frame(frameCount())", "did not fail");
    } catch (const velmora::InvalidArgument&) {
    }
}

std::string indexDisagreement(const IndexBuild& build, const FrameBytes& read, const Report& report,
                              velmora::MultiImageView* extractor) {
    const IndexResult result = buildIndex(build);
    if (report.outcome == Outcome::OutOfMemory) {
        // The plugin could not hold the pixels; the index holds none.
        return {};
    }
    if (result.outcome != report.outcome || result.message != report.message) {
        return std::string("the index ended with ") + outcomeName(result.outcome) + " \"" + result.message +
               "\", the plugin with " + outcomeName(report.outcome) + " \"" + report.message + "\"";
    }
    if (!extractor) {
        return {};
    }
    const trestan::gatan::DmIndex& index = *result.index;
    if (std::string tree = treeDisagreement(*extractor->metadata(), *index.metadata()); !tree.empty()) {
        return tree;
    }
    if (index.frames().size() != extractor->frameCount()) {
        return "the index has " + std::to_string(index.frames().size()) + " frames, the plugin " +
               std::to_string(extractor->frameCount());
    }
    for (const auto& indexed : index.frames()) {
        if (std::string frame = frameDisagreement(*extractor->frame(indexed.index), indexed, read);
            !frame.empty()) {
            return frame;
        }
    }
    return {};
}

std::string indexDisagreement(const std::uint8_t* data, std::size_t size, const Report& report,
                              velmora::MultiImageView* extractor) {
    return indexDisagreement(
        [&] { return trestan::gatan::DmIndex::build(velmora::StreamAccessFactory::fromMemory(data, size)); },
        [&](const trestan::gatan::DmIndex::Frame& frame, std::uint64_t firstByte, std::uint64_t count,
            void* destination) {
            auto stream = velmora::StreamAccessFactory::fromMemory(data, size);
            trestan::gatan::readFrameBytes(*stream, frame, firstByte, count, destination);
        },
        report, extractor);
}

Report exercise(const std::uint8_t* data, std::size_t size) {
    prepareLogger();
    Report report;
    auto extractor = open(velmora::StreamAccessFactory::fromMemory(data, size), report);
    if (extractor) {
        inspect(*extractor, report);
    }
    if (const std::string disagreement = indexDisagreement(data, size, report, extractor.get());
        !disagreement.empty()) {
        throw BrokenInvariant(disagreement);
    }
    return report;
}

} // namespace gatanfuzz
