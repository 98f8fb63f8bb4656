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
#include <spdlog/sinks/sink.h>
#include <string_view>
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
    try {
        if (metadata == Metadata::OnHeap) {
            return std::make_shared<GatanExtractor>(std::move(stream), "DM", trestan::OptionMap{});
        }
        const velmora::MetadataArena::Scope metadataMemory;
        return std::make_shared<GatanExtractor>(std::move(stream), "DM", trestan::OptionMap{});
    } catch (const velmora::Error& error) {
        report.outcome = Outcome::Refused;
        report.message = error.what();
    } catch (const std::length_error& error) {
        if (std::strcmp(error.what(), AllowedLengthError) != 0) {
            throw;
        }
        report.outcome = Outcome::LengthError;
        report.message = error.what();
    } catch (const std::bad_array_new_length&) {
        // An array size computed from the file that went negative or overflowed: never allowed.
        throw;
    } catch (const std::bad_alloc& error) {
        report.outcome = Outcome::OutOfMemory;
        report.message = error.what();
    }
    return nullptr;
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

Report exercise(const std::uint8_t* data, std::size_t size) {
    prepareLogger();
    Report report;
    auto extractor = open(velmora::StreamAccessFactory::fromMemory(data, size), report);
    if (extractor) {
        inspect(*extractor, report);
    }
    return report;
}

} // namespace gatanfuzz
