#pragma once

// Helpers of the tag-tree and frame tests: opening DM bytes or files the way a host does, finding
// nodes, checking their values and reading regions.

#include "ByteSources.h"
#include "GatanExtractor.h"
#include "Hex.h"
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
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <spdlog/sinks/sink.h>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

using dmwriter::Bytes;
using NodePtr = std::shared_ptr<velmora::MetadataNode>;
using ExtractorPtr = std::shared_ptr<GatanExtractor>;
using FramePtr = std::shared_ptr<velmora::ImageView>;
using Shape = velmora::VectorX<std::size_t>;
using Region = velmora::RegionX<std::size_t>;

/// The plugin's logger at debug level, as after a host's initLog(5), with its console sink muted.
inline void ensurePluginLogger() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        InternalPluginLogger::init("GatanPlugin", velmora::LogLevel::Debug);
        for (const auto& sink : InternalPluginLogger::instance()->logger()->sinks()) {
            sink->set_level(spdlog::level::off);
        }
    });
}

/// The plugin's debug messages off while it lives, as users run the reader: the tests otherwise take
/// them (so that their formatting runs), and the walk reads some entries differently without them.
class DebugMessagesOff {
public:
    DebugMessagesOff() : m_level((ensurePluginLogger(), logger().level())) {
        logger().set_level(spdlog::level::info);
    }
    ~DebugMessagesOff() { logger().set_level(m_level); }
    DebugMessagesOff(const DebugMessagesOff&) = delete;
    DebugMessagesOff& operator=(const DebugMessagesOff&) = delete;

private:
    static spdlog::logger& logger() { return *InternalPluginLogger::instance()->logger(); }
    spdlog::level::level_enum m_level;
};

template <typename Source> ExtractorPtr openSource(std::shared_ptr<Source> source) {
    ensurePluginLogger();
    return std::make_shared<GatanExtractor>(std::move(source), "DM", trestan::OptionMap{});
}

inline std::shared_ptr<velmora::StreamAccess> memoryStream(const Bytes& bytes) {
    return velmora::StreamAccessFactory::fromMemory(std::make_shared<const std::vector<std::uint8_t>>(bytes));
}

inline ExtractorPtr openDm(const Bytes& bytes) {
    return openSource(memoryStream(bytes));
}

inline ExtractorPtr openDm(dmwriter::DmFile& file) {
    return openDm(file.toBytes());
}

inline ExtractorPtr openPath(const std::string& path) {
    ensurePluginLogger();
    return std::make_shared<GatanExtractor>(path, "DM", trestan::OptionMap{});
}

/// The message of the E that `call` throws; any other outcome gives text no message matches.
template <typename E = velmora::Error, typename F> std::string errorOf(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("other exception: ") + error.what();
    }
    return "no exception";
}

template <typename E = velmora::Error> std::string openError(const Bytes& bytes) {
    return errorOf<E>([&] { openDm(bytes); });
}

template <typename E = velmora::Error> std::string openError(dmwriter::DmFile& file) {
    return openError<E>(file.toBytes());
}

/// A file of `version` holding `tag` as "T" between "Good" = int32 1 and "After" = int32 77, then
/// the empty "ImageList" every file needs.
inline dmwriter::DmFile fileWith(dmwriter::Version version, dmwriter::Tag tag, std::string name = "T") {
    dmwriter::DmFile file(version);
    file.root().addTag("Good", dmwriter::Tag::int32(1));
    file.root().addTag(std::move(name), std::move(tag));
    file.root().addTag("After", dmwriter::Tag::int32(77));
    file.root().addDirectory("ImageList");
    return file;
}

/// The node at the '/'-separated `path` below `node`; throws naming the path when it is missing.
inline NodePtr nodeAt(const NodePtr& node, const std::string& path) {
    if (NodePtr found = velmora::MetadataNodeHelper::getNode(node, path)) {
        return found;
    }
    throw std::out_of_range("no node \"" + path + "\"");
}

/// "type:hex bytes" of a numeric value, "text:..." of a text value, "none" without a value: one
/// string to compare, bit for bit.
inline std::string valueOf(const NodePtr& node) {
    const auto& value = node->value();
    if (!value) {
        return "none";
    }
    if (value->isString()) {
        return "text:" + value->text();
    }
    const auto* data = static_cast<const std::uint8_t*>(value->data());
    return std::string(velmora::valueTypeName(value->type())) + ":" +
           (value->count() == 0
                ? ""
                : toHex(Bytes(data, data + value->count() * velmora::valueTypeSize(value->type()))));
}

/// Reads `region` into a buffer followed by guard bytes; throws when the read writes past the region.
inline Bytes readRegion(velmora::ImageView& frame, const Region& region) {
    const std::size_t size = region.elementCount() * frame.dataType().elementSize();
    Bytes buffer(size + 64, 0xC7);
    frame.readRegion(region, buffer.data());
    if (Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end()) != Bytes(64, 0xC7)) {
        throw std::logic_error("readRegion wrote past the region");
    }
    buffer.resize(size);
    return buffer;
}

inline Bytes readWhole(velmora::ImageView& frame) {
    return readRegion(frame, Region::whole(frame.shape()));
}

/// Stored colour bytes without the fourth byte of every 4-byte pixel.
inline Bytes dropFourthBytes(const Bytes& stored) {
    Bytes packed;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (i % 4 != 3) {
            packed.push_back(stored[i]);
        }
    }
    return packed;
}

} // namespace testsupport
