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

#if defined(__SANITIZE_ADDRESS__)
#define GATAN_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GATAN_FUZZ_ASAN 1
#endif
#endif
#ifdef GATAN_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

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

[[noreturn]] void broken(const std::string& what) {
    throw BrokenInvariant(what);
}

void walkTree(const std::shared_ptr<velmora::MetadataNode>& root, Report& report) {
    // Iterative: a hostile file nests as deep as the reader allows.
    std::vector<const velmora::MetadataNode*> pending{root.get()};
    while (!pending.empty()) {
        const velmora::MetadataNode* node = pending.back();
        pending.pop_back();
        ++report.nodes;
        report.widestList = std::max(report.widestList, node->childCount());
        mix(report.checksum, node->name());
        if (const auto& value = node->value()) {
            mixValue(report.checksum, value->type());
            if (value->isString()) {
                if (value->count() != value->text().size()) {
                    broken("text value of \"" + node->name() + "\" reports a count other than its length");
                }
                mix(report.checksum, value->text());
            } else if (value->count() > 0) {
                if (value->data() == nullptr) {
                    broken("numeric value of \"" + node->name() + "\" has elements but no data");
                }
                mix(report.checksum, value->data(), value->count() * velmora::valueTypeSize(value->type()));
            }
        }
        for (const auto& child : *node) {
            if (!child) {
                broken("node \"" + node->name() + "\" has an empty child");
            }
            pending.push_back(child.get());
        }
    }
}

/// A destination of exactly `size` bytes followed by guard bytes that must stay untouched; under
/// AddressSanitizer the guard is poisoned, so a write past the region stops the run where it happens.
class Destination {
public:
    static constexpr std::size_t Guard = 64;
    static constexpr std::uint8_t Fill = 0xA5;

    explicit Destination(std::size_t size) : m_size(size), m_bytes(new std::uint8_t[size + Guard]) {
        std::memset(m_bytes.get() + m_size, Fill, Guard);
#ifdef GATAN_FUZZ_ASAN
        ASAN_POISON_MEMORY_REGION(m_bytes.get() + m_size, Guard);
#endif
    }
    ~Destination() {
#ifdef GATAN_FUZZ_ASAN
        ASAN_UNPOISON_MEMORY_REGION(m_bytes.get() + m_size, Guard);
#endif
    }
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    std::uint8_t* data() {
        return m_bytes.get();
    }

    bool guardIntact() {
#ifdef GATAN_FUZZ_ASAN
        ASAN_UNPOISON_MEMORY_REGION(m_bytes.get() + m_size, Guard);
#endif
        for (std::size_t i = 0; i < Guard; ++i) {
            if (m_bytes[m_size + i] != Fill) {
                return false;
            }
        }
        return true;
    }

private:
    std::size_t m_size;
    std::unique_ptr<std::uint8_t[]> m_bytes;
};

void readInto(velmora::ImageView& frame, const velmora::RegionX<std::size_t>& region, std::size_t bytes,
              std::size_t index, Report& report) {
    Destination destination(bytes);
    frame.readRegion(region, destination.data());
    if (!destination.guardIntact()) {
        broken("reading a region of frame " + std::to_string(index) + " wrote past its " +
               std::to_string(bytes) + " bytes");
    }
    mix(report.checksum, destination.data(), bytes);
}

void inspectFrame(velmora::ImageView& frame, std::size_t index, const velmora::MetadataNode* root,
                  Report& report) {
    const std::string which = "frame " + std::to_string(index);
    const velmora::VectorX<std::size_t> shape = frame.shape();
    const velmora::DataType type = frame.dataType();
    const std::size_t elementSize = type.elementSize();
    if (elementSize == 0) {
        broken(which + " has an element type of no bytes");
    }
    if (frame.metadata().get() != root) {
        broken(which + " does not share the file's metadata tree");
    }
    if (frame.capabilities() != 1) {
        broken(which + " does not report the read capability alone");
    }
    const auto properties = frame.properties();
    if (!properties) {
        broken(which + " has no properties");
    }
    const auto& info = properties->imageInfo();
    mixValue(report.checksum, info.axes());
    mixValue(report.checksum, info.interpretation());
    mixValue(report.checksum, info.bitDepth());
    mixValue(report.checksum, info.valueRange());
    const auto& calibration = properties->calibration();
    mixValue(report.checksum, calibration.origin());
    mixValue(report.checksum, calibration.spacing());
    mix(report.checksum, calibration.unit());

    const auto origin = std::dynamic_pointer_cast<velmora::ViewOriginExtension>(
        frame.extension(velmora::VIEW_ORIGIN_EXTENSION));
    if (!origin || origin->displayName() != FrameDisplayName || origin->parentCount() != 1 ||
        !origin->parent(0)) {
        broken(which + " lacks its view-origin record");
    }

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
        bytes = empty ? 0 : bytes;
        readInto(frame, velmora::RegionX<std::size_t>::whole(shape), bytes, index, report);
        ++report.framesRead;
        return;
    }
    // Too large to copy whole: the first and the last element (every axis is non-empty here).
    velmora::VectorX<std::size_t> last(shape.size());
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        last[axis] = shape[axis] - 1;
    }
    const velmora::VectorX<std::size_t> one(shape.size(), 1);
    readInto(frame, velmora::RegionX<std::size_t>(velmora::VectorX<std::size_t>(shape.size(), 0), one),
             elementSize, index, report);
    readInto(frame, velmora::RegionX<std::size_t>(last, one), elementSize, index, report);
    ++report.framesSampled;
}

} // namespace

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Opened:
        return "opened";
    case Outcome::Refused:
        return "velmora::Error";
    case Outcome::LengthError:
        return "std::length_error";
    case Outcome::OutOfMemory:
        return "std::bad_alloc";
    }
    return "?";
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

void inspect(GatanExtractor& extractor, Report& report) {
    report.outcome = Outcome::Opened;
    const auto root = extractor.metadata();
    if (!root || root->name() != "root" || root->childCount() != 1 || root->childAt(0)->name() != "GATAN") {
        broken("the metadata tree is not \"root\" holding \"GATAN\"");
    }
    walkTree(root, report);

    const auto origin = std::dynamic_pointer_cast<velmora::ViewOriginExtension>(
        extractor.extension(velmora::VIEW_ORIGIN_EXTENSION));
    if (!origin) {
        broken("the extractor lacks its view-origin record");
    }
    mix(report.checksum, origin->displayName());

    report.frames = extractor.frameCount();
    for (std::size_t index = 0; index < report.frames; ++index) {
        const auto frame = extractor.frame(index);
        if (!frame) {
            broken("frame " + std::to_string(index) + " is empty");
        }
        inspectFrame(*frame, index, root.get(), report);
    }
    try {
        extractor.frame(report.frames);
        broken("frame(frameCount()) did not fail");
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
