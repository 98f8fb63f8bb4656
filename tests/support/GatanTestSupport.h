#pragma once

#include "GatanExtractor.h"
#include "InternalPluginLogger.h"
#include "dmwriter/DmWriter.h"
#include "trestan/OptionMap.h"
#include "velmora/Error.h"
#include "velmora/LogLevel.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"
#include "velmora/VariantDataValue.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <spdlog/sinks/sink.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace testsupport {

using NodePtr = std::shared_ptr<velmora::MetadataNode>;

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

/// Opens DM bytes from memory the way a host hands the plugin a stream.
inline std::shared_ptr<GatanExtractor> openDm(const dmwriter::Bytes& bytes) {
    ensurePluginLogger();
    auto shared = std::make_shared<const std::vector<std::uint8_t>>(bytes);
    return std::make_shared<GatanExtractor>(velmora::StreamAccessFactory::fromMemory(shared), "DM",
                                            trestan::OptionMap{});
}

inline std::shared_ptr<GatanExtractor> openDm(dmwriter::DmFile& file) {
    return openDm(file.toBytes());
}

/// Appends the empty "ImageList" that every DM file has: the reader refuses a tree without one once
/// it has walked it. An empty list opens with no frames.
inline dmwriter::Directory& addEmptyImageList(dmwriter::DmFile& file) {
    return file.root().addDirectory("ImageList");
}

/// What opening the bytes throws, when it throws an E: its message. Any other outcome is reported
/// as text that cannot match an expected message ("no exception", or the other type and message).
template <typename E> std::string openError(const dmwriter::Bytes& bytes) {
    try {
        openDm(bytes);
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("unexpected exception of type ") + typeid(error).name() + ": " + error.what();
    }
    return "no exception";
}

template <typename E> std::string openError(dmwriter::DmFile& file) {
    return openError<E>(file.toBytes());
}

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

namespace detail {

template <typename T> std::string describe(const std::vector<T>& values) {
    std::ostringstream out;
    out << '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << (i ? ", " : "");
        if constexpr (sizeof(T) == 1) {
            out << static_cast<int>(values[i]);
        } else {
            out << values[i];
        }
    }
    out << ']';
    return out.str();
}

} // namespace detail

/// The node holds a numeric value of exactly this element type and these elements (bit-exact for
/// floating point, so -0.0 and 0.0 differ).
template <typename T>
::testing::AssertionResult holds(const NodePtr& node, velmora::ValueType type,
                                 const std::vector<T>& expected) {
    if (!node) {
        return ::testing::AssertionFailure() << "no node";
    }
    const auto& value = node->value();
    if (!value) {
        return ::testing::AssertionFailure() << "node \"" << node->name() << "\" has no value";
    }
    if (value->type() != type) {
        return ::testing::AssertionFailure()
               << "node \"" << node->name() << "\" holds " << velmora::valueTypeName(value->type())
               << ", expected " << velmora::valueTypeName(type);
    }
    if (sizeof(T) != velmora::valueTypeSize(type)) {
        return ::testing::AssertionFailure()
               << "test error: element type does not match " << velmora::valueTypeName(type);
    }
    std::vector<T> actual(value->count());
    if (!actual.empty()) {
        std::memcpy(actual.data(), value->data(), actual.size() * sizeof(T));
    }
    if (actual.size() != expected.size() ||
        (!actual.empty() && std::memcmp(actual.data(), expected.data(), actual.size() * sizeof(T)) != 0)) {
        return ::testing::AssertionFailure()
               << "node \"" << node->name() << "\" holds " << detail::describe(actual) << ", expected "
               << detail::describe(expected);
    }
    return ::testing::AssertionSuccess();
}

/// The node holds a single element of this type and value.
template <typename T>
::testing::AssertionResult holdsScalar(const NodePtr& node, velmora::ValueType type, T expected) {
    return holds<T>(node, type, std::vector<T>{expected});
}

/// The node holds a text value of exactly these bytes.
inline ::testing::AssertionResult holdsText(const NodePtr& node, std::string_view expected) {
    if (!node) {
        return ::testing::AssertionFailure() << "no node";
    }
    const auto& value = node->value();
    if (!value || !value->isString()) {
        return ::testing::AssertionFailure() << "node \"" << node->name() << "\" has no text value";
    }
    if (value->text() != expected) {
        return ::testing::AssertionFailure()
               << "node \"" << node->name() << "\" holds text of " << value->text().size() << " bytes \""
               << value->text() << "\", expected " << expected.size() << " bytes \"" << expected << "\"";
    }
    return ::testing::AssertionSuccess();
}

/// The node has no value (directories have one; groups and arrays of groups do not).
inline ::testing::AssertionResult hasNoValue(const NodePtr& node) {
    if (!node) {
        return ::testing::AssertionFailure() << "no node";
    }
    if (node->value()) {
        return ::testing::AssertionFailure() << "node \"" << node->name() << "\" has a value of type "
                                             << velmora::valueTypeName(node->value()->type());
    }
    return ::testing::AssertionSuccess();
}

} // namespace testsupport
