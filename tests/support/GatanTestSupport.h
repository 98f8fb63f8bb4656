#pragma once

// Helpers of the tag-tree and frame tests: opening DM bytes or files the way a host does, finding
// nodes and checking their values, and reading regions into guarded buffers.

#include "ByteSources.h"
#include "GatanExtractor.h"
#include "InternalPluginLogger.h"
#include "dmwriter/DmImage.h"
#include "dmwriter/DmWriter.h"
#include "trestan/OptionMap.h"
#include "velmora/Error.h"
#include "velmora/ImageView.h"
#include "velmora/LogLevel.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"
#include "velmora/VariantDataValue.h"
#include "velmora/Vector.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <spdlog/sinks/sink.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace testsupport {

using dmwriter::Bytes;
using NodePtr = std::shared_ptr<velmora::MetadataNode>;
using ExtractorPtr = std::shared_ptr<GatanExtractor>;
using FramePtr = std::shared_ptr<velmora::ImageView>;
using Shape = velmora::VectorX<std::size_t>;
using Region = velmora::RegionX<std::size_t>;

/// Creates the plugin's logger at debug level, as a host calling initLog(5) would, once per
/// process. Its console sink is muted: tests read the log through LogCapture instead of flooding
/// their output with every trace line of every file they open.
inline void ensurePluginLogger() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        InternalPluginLogger::init("GatanPlugin", velmora::LogLevel::Debug);
        for (const auto& sink : InternalPluginLogger::instance()->logger()->sinks()) {
            sink->set_level(spdlog::level::off);
        }
    });
}

/// Opens a stream (or random-access source) the way a host hands it to the plugin.
template <typename Source> ExtractorPtr openSource(std::shared_ptr<Source> source) {
    ensurePluginLogger();
    return std::make_shared<GatanExtractor>(std::move(source), "DM", trestan::OptionMap{});
}

/// A memory stream over a copy of the bytes.
inline std::shared_ptr<velmora::StreamAccess> memoryStream(const Bytes& bytes) {
    return velmora::StreamAccessFactory::fromMemory(std::make_shared<const std::vector<std::uint8_t>>(bytes));
}

inline ExtractorPtr openDm(const Bytes& bytes) {
    return openSource(memoryStream(bytes));
}

inline ExtractorPtr openDm(dmwriter::DmFile& file) {
    return openDm(file.toBytes());
}

/// Opens a DM file by its path.
inline ExtractorPtr openPath(const std::string& path) {
    ensurePluginLogger();
    return std::make_shared<GatanExtractor>(path, "DM", trestan::OptionMap{});
}

/// What `call` throws, when it throws an E: its message. Any other outcome is reported as text that
/// cannot match an expected message ("no exception", or the other type and message).
template <typename E, typename F> std::string errorOf(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("unexpected exception of type ") + typeid(error).name() + ": " + error.what();
    }
    return "no exception";
}

template <typename E> std::string openError(const Bytes& bytes) {
    return errorOf<E>([&] { openDm(bytes); });
}

template <typename E> std::string openError(dmwriter::DmFile& file) {
    return openError<E>(file.toBytes());
}

/// Appends the empty "ImageList" that every DM file has: the reader refuses a tree without one once
/// it has walked it. An empty list opens with no frames.
inline dmwriter::Directory& addEmptyImageList(dmwriter::DmFile& file) {
    return file.root().addDirectory("ImageList");
}

/// Names the two layouts in parameterised test names.
inline std::string versionName(const ::testing::TestParamInfo<dmwriter::Version>& info) {
    return info.param == dmwriter::Version::Dm3 ? "Dm3" : "Dm4";
}

/// Tests of one tag, run on both layouts: the tag stands as "T" between the int32 "Good" = 1 and the
/// int32 "After" = 77, before an empty "ImageList".
class TagTest : public ::testing::TestWithParam<dmwriter::Version> {
protected:
    dmwriter::DmFile fileWith(dmwriter::Tag tag, dmwriter::EntryOptions options = {}) const {
        dmwriter::DmFile file(GetParam());
        file.root().addTag("Good", dmwriter::Tag::int32(1));
        file.root().addTag("T", std::move(tag), options);
        file.root().addTag("After", dmwriter::Tag::int32(77));
        addEmptyImageList(file);
        return file;
    }
    /// Opens the file with `tag`, checks that "After" was read where the value ended; returns "T".
    NodePtr tagRead(dmwriter::Tag tag) const;
    template <typename E = velmora::Error> std::string errorOf(dmwriter::Tag tag) const {
        dmwriter::DmFile file = fileWith(std::move(tag));
        return openError<E>(file);
    }
};

/// The node "root"/"GATAN" of an opened file.
inline NodePtr gatanNode(const GatanExtractor& extractor) {
    NodePtr root = extractor.metadata();
    if (!root || root->childCount() != 1) {
        throw std::logic_error("the metadata root does not have exactly one child");
    }
    return root->childAt(0);
}

/// The node at `path` below `node`: child names separated by '/', the first child of each name.
/// Throws std::out_of_range naming the missing step, which fails the test with that message.
inline NodePtr nodeAt(NodePtr node, std::string_view path) {
    std::string walked;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string step(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        NodePtr next = node->child(step);
        if (!next) {
            throw std::out_of_range("no node \"" + step + "\" below \"" +
                                    (walked.empty() ? node->name() : walked) + "\"");
        }
        walked += (walked.empty() ? "" : "/") + step;
        node = next;
    }
    return node;
}

/// The names of the node's children, in order.
inline std::vector<std::string> childNames(const NodePtr& node) {
    std::vector<std::string> names;
    for (const auto& child : *node) {
        names.push_back(child->name());
    }
    return names;
}

/// The node holds a numeric value of exactly this element type and these element bytes (as stored,
/// little-endian, so floating point compares bit for bit and -0.0 differs from 0.0).
inline ::testing::AssertionResult holdsBytes(const NodePtr& node, velmora::ValueType type,
                                             const Bytes& expected) {
    if (!node || !node->value()) {
        return ::testing::AssertionFailure()
               << (node ? "node \"" + node->name() + "\"" : "no node") << " has no value";
    }
    const auto& value = node->value();
    const auto* data = static_cast<const std::uint8_t*>(value->data());
    const Bytes actual = value->count() == 0
                             ? Bytes{}
                             : Bytes(data, data + value->count() * velmora::valueTypeSize(value->type()));
    return ::testing::AssertionResult(value->type() == type && actual == expected)
           << "node \"" << node->name() << "\" holds " << velmora::valueTypeName(value->type()) << " "
           << ::testing::PrintToString(actual) << ", expected " << velmora::valueTypeName(type) << " "
           << ::testing::PrintToString(expected);
}

/// The node holds these elements of this type.
template <typename T>
::testing::AssertionResult holds(const NodePtr& node, velmora::ValueType type,
                                 const std::vector<T>& expected) {
    EXPECT_EQ(sizeof(T), velmora::valueTypeSize(type)) << "test error: the element type does not match";
    return holdsBytes(node, type, dmwriter::littleEndian(std::span<const T>(expected)));
}

/// The node holds a single element of this type and value.
template <typename T>
::testing::AssertionResult holdsScalar(const NodePtr& node, velmora::ValueType type, T expected) {
    return holds<T>(node, type, std::vector<T>{expected});
}

/// The node holds a text value of exactly these bytes.
inline ::testing::AssertionResult holdsText(const NodePtr& node, std::string_view expected) {
    const bool text = node && node->value() && node->value()->isString();
    return ::testing::AssertionResult(text && node->value()->text() == expected)
           << (text ? ::testing::PrintToString(node->value()->text()) : "no text value") << ", expected "
           << ::testing::PrintToString(std::string(expected));
}

/// The node has no value (directories have one; groups and arrays of groups do not).
inline ::testing::AssertionResult hasNoValue(const NodePtr& node) {
    return ::testing::AssertionResult(node && !node->value())
           << (node ? "node \"" + node->name() + "\" has a value" : "no node");
}

/// Reads `region` of the frame into a buffer followed by guard bytes; throws std::logic_error when
/// the read writes past the region's packed size.
inline Bytes readRegion(velmora::ImageView& frame, const Region& region) {
    constexpr std::size_t guard = 64;
    constexpr std::uint8_t fill = 0xC7;
    const std::size_t size = region.elementCount() * frame.dataType().elementSize();
    Bytes buffer(size + guard, fill);
    frame.readRegion(region, buffer.data());
    for (std::size_t i = size; i < buffer.size(); ++i) {
        if (buffer[i] != fill) {
            throw std::logic_error("readRegion wrote past the " + std::to_string(size) +
                                   " bytes of the region");
        }
    }
    buffer.resize(size);
    return buffer;
}

inline Bytes readWhole(velmora::ImageView& frame) {
    return readRegion(frame, Region::whole(frame.shape()));
}

/// The stored colour bytes without the fourth byte of every 4-byte pixel.
inline Bytes dropFourthBytes(const Bytes& stored) {
    Bytes packed;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (i % 4 != 3) {
            packed.push_back(stored[i]);
        }
    }
    return packed;
}

inline NodePtr TagTest::tagRead(dmwriter::Tag tag) const {
    dmwriter::DmFile file = fileWith(std::move(tag));
    const NodePtr gatan = gatanNode(*openDm(file));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "After"), velmora::ValueType::Int32, 77));
    return nodeAt(gatan, "T");
}

} // namespace testsupport
