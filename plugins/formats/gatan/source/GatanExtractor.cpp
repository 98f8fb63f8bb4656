// The extractor, and the tag walk (GatanTagWalk) from the header down to each tag's info array; the
// values are read in GatanTagValues.cpp. Log records carry their source file's name, which hosts
// print, so the reader's log lines come from this file, GatanTagValues.cpp and GatanFrameExtractor.cpp.

#include "GatanExtractor.h"

#include "GatanFrameDescription.h"
#include "GatanFrameExtractor.h"
#include "PluginLogger.h"
#include "ViewOriginExtensionImpl.h"
#include "velmora/Error.h"
#include "velmora/StreamAccessFactory.h"

#include <cstring>
#include <fmt/format.h>
#include <optional>
#include <stdexcept>

GatanExtractor::GatanExtractor(const std::string& filePath, const std::string& /*format*/,
                               const trestan::OptionMap& /*options*/)
    : m_handle(std::make_shared<GatanHandle>()) {
    m_handle->attachFile(filePath);
    registerViewOrigin(velmora::ViewDataOrigin::FILE);
    init();
}

GatanExtractor::GatanExtractor(std::shared_ptr<velmora::StreamAccess> stream, const std::string& /*format*/,
                               const trestan::OptionMap& /*options*/)
    : m_handle(std::make_shared<GatanHandle>()) {
    m_handle->attachStream(std::move(stream));
    registerViewOrigin(velmora::ViewDataOrigin::UNKNOWN);
    init();
}

GatanExtractor::GatanExtractor(std::shared_ptr<velmora::RandomAccess> source, const std::string& format,
                               const trestan::OptionMap& options)
    : GatanExtractor(velmora::StreamAccessFactory::fromRandomAccess(std::move(source)), format, options) {}

GatanExtractor::~GatanExtractor() = default;

std::uint64_t GatanExtractor::capabilities() const {
    return 1;
}

std::size_t GatanExtractor::frameCount() const {
    return m_frames.size();
}

std::shared_ptr<velmora::ImageView> GatanExtractor::frame(std::size_t index) {
    if (index >= m_frames.size()) {
        if (m_frames.empty()) {
            throw velmora::InvalidArgument(
                fmt::format("Out of bounds, trying to access index {0} when the file has no frames", index));
        }
        throw velmora::InvalidArgument(
            fmt::format("Out of bounds, trying to access index {0} when the max value is {1}", index,
                        m_frames.size() - 1));
    }
    return m_frames[index];
}

std::shared_ptr<velmora::MetadataNode> GatanExtractor::metadata() const {
    return m_handle->metadata;
}

void GatanExtractor::registerViewOrigin(velmora::ViewDataOrigin origin) {
    auto record = std::make_shared<ViewOriginExtensionImpl>(std::string(PluginName) + " Extractor", origin);
    m_extensionRegister.add(velmora::VIEW_ORIGIN_EXTENSION, record);
}

void GatanExtractor::init() {
    m_capabilities = 1;
    GatanTagWalk(*m_handle, GatanTagWalk::Messages::Logged).init();
    discoverFrames();
}

void GatanExtractor::discoverFrames() {
    const auto imageList = imageListOf(*m_handle->metadata);
    m_frames.reserve(imageList->childCount());
    std::size_t index = 0;
    for (const auto& entry : *imageList) {
        m_frames.push_back(
            std::make_shared<GatanFrameExtractor>(m_handle, imageDataOf(*entry, index), this, index));
        ++index;
    }
}

namespace {

constexpr std::uint8_t TagDirectoryType = 20;
constexpr std::uint8_t TagType = 21;

// Keeps the nesting depth of the directory walk; the walk recurses once per level.
class DepthGuard {
public:
    DepthGuard(int& depth, int limit, std::string_view name) : m_depth(depth) {
        if (++m_depth > limit) {
            --m_depth;
            throw velmora::Error(
                fmt::format("Tag directory \"{0}\" is nested deeper than {1} levels", name, limit));
        }
    }
    ~DepthGuard() { --m_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& m_depth;
};

} // namespace

GatanTagWalk::GatanTagWalk(GatanHandle& handle, Messages messages)
    : m_handle(handle), m_logged(messages == Messages::Logged) {}

void GatanTagWalk::init() {
    TRESTAN_PLUGIN_DEBUG_IF(m_logged, "Reading DM header");
    // The file's whole tree lives in one arena: that of the caller's scope, or one of its own.
    std::optional<velmora::MetadataArena::Scope> treeMemory;
    if (!velmora::MetadataArena::current()) {
        treeMemory.emplace();
    }
    m_logTags = m_logged && PluginLogger::enabled(spdlog::level::debug);

    GatanHandle& handle = m_handle;
    handle.version = readBigEndian<std::uint32_t>(handle);
    if (handle.version == 3) {
        if (m_logged) {
            TRESTAN_PLUGIN_INFO("DM3 dataset");
        }
        std::uint8_t lengthWord[4];
        readRaw(handle, sizeof lengthWord, lengthWord);
    } else if (handle.version == 4) {
        if (m_logged) {
            TRESTAN_PLUGIN_INFO("DM4 dataset");
        }
        std::uint8_t lengthWord[8];
        readRaw(handle, sizeof lengthWord, lengthWord);
    } else {
        throw velmora::Error(
            fmt::format("Unsupported version {0}", static_cast<std::int32_t>(handle.version)));
    }
    TRESTAN_PLUGIN_DEBUG_IF(m_logged, "DM{0} detected", handle.version);

    if (readBigEndian<std::uint32_t>(handle) != 1) {
        throw velmora::Error("Unsupported endianess conversion");
    }
    handle.byteOrder = 1;
    handle.metadata = velmora::MetadataNodeFactory::create("root", nullptr);
    m_arena = &handle.metadata->arena();

    // The root tag directory follows the header directly: offset 12 in DM3, 16 in DM4.
    velmora::MetadataNode& root = handle.version == 3 ? parseDirectory3(m_arena->makeName("GATAN"))
                                                      : parseDirectory4(m_arena->makeName("GATAN"));
    handle.metadata->addChild(root);
}

const velmora::MetadataName& GatanTagWalk::readEntryName(std::int32_t& unnamed) {
    GatanHandle& handle = m_handle;
    const auto length = readBigEndian<std::int16_t>(handle);
    if (length <= 0) {
        return generatedName(GeneratedName::Item, unnamed++);
    }
    const auto size = static_cast<std::size_t>(length);
    // Names are made in the tree's arena straight from the bytes read, each its own: a file's tag
    // names rarely repeat, and looking for an earlier one would cost more than it saves.
    if (const std::uint8_t* chars = takeFromWindow(handle, size)) {
        return m_arena->makeName({reinterpret_cast<const char*>(chars), size});
    }
    requireAvailable(handle, size);
    m_nameBytes.resize(size);
    readRaw(handle, size, m_nameBytes.data());
    return m_arena->makeName(m_nameBytes);
}

velmora::MetadataNode& GatanTagWalk::parseDirectory3(const velmora::MetadataName& name) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parsing directory \"{0}\"", name.view());
    DepthGuard depth(m_depth, MaxDirectoryDepth, name.view());
    GatanHandle& handle = m_handle;

    std::uint8_t flags[2];
    readRaw(handle, sizeof flags, flags);
    const auto count = readBigEndian<std::int32_t>(handle);
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Directory \"{0}\" has {1} children", name.view(), count);
    velmora::MetadataNode& node =
        velmora::MetadataNodeFactory::make(*m_arena, name, velmora::ValueType::Int32, &count, 1);
    if (count < 0) {
        throw velmora::Error(
            fmt::format("Tag directory \"{0}\" has a negative entry count {1}", name.view(), count));
    }

    node.reserveChildren(plausibleEntryCount(static_cast<std::uint64_t>(count)));
    std::int32_t unnamed = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        if (velmora::MetadataNode* scalar = readScalarEntry<int>()) {
            node.addChild(*scalar);
            continue;
        }
        std::uint8_t tagType;
        readRaw(handle, 1, &tagType);
        const velmora::MetadataName& entryName = readEntryName(unnamed);
        if (tagType == TagType) {
            node.addChild(parseTag3(entryName));
        } else if (tagType == TagDirectoryType) {
            node.addChild(parseDirectory3(entryName));
        } else {
            throw velmora::Error(
                fmt::format("Invalid tag type {0:x}", static_cast<int>(static_cast<std::int8_t>(tagType))));
        }
    }
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "End of directory \"{0}\"", name.view());
    return node;
}

velmora::MetadataNode& GatanTagWalk::parseDirectory4(const velmora::MetadataName& name) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parsing directory \"{0}\"", name.view());
    DepthGuard depth(m_depth, MaxDirectoryDepth, name.view());
    GatanHandle& handle = m_handle;

    std::uint8_t flags[2];
    readRaw(handle, sizeof flags, flags);
    const auto count = readBigEndian<std::int64_t>(handle);
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Directory \"{0}\" has {1} children", name.view(), count);
    velmora::MetadataNode& node =
        velmora::MetadataNodeFactory::make(*m_arena, name, velmora::ValueType::Int64, &count, 1);

    if (count > 0) {
        node.reserveChildren(plausibleEntryCount(static_cast<std::uint64_t>(count)));
    }
    std::int32_t unnamed = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        if (velmora::MetadataNode* scalar = readScalarEntry<long>()) {
            node.addChild(*scalar);
            continue;
        }
        std::uint8_t tagType;
        readRaw(handle, 1, &tagType);
        const velmora::MetadataName& entryName = readEntryName(unnamed);
        // DM4 stores the entry's size here; the walk does not trust it and reads the body as its
        // own fields describe it.
        readBigEndian<std::uint64_t>(handle);
        if (tagType == TagType) {
            node.addChild(parseTag4(entryName));
        } else if (tagType == TagDirectoryType) {
            node.addChild(parseDirectory4(entryName));
        } else {
            throw velmora::Error(
                fmt::format("Invalid tag type {0:x}", static_cast<int>(static_cast<std::int8_t>(tagType))));
        }
    }
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "End of directory \"{0}\"", name.view());
    return node;
}

namespace {

void readTagSeparator(GatanHandle& handle) {
    char separator[4];
    readRaw(handle, sizeof separator, separator);
    if (std::memcmp(separator, "%%%%", sizeof separator) != 0) {
        throw velmora::Error("Invalid tag separator");
    }
}

// The "%%%%" that opens a tag, then the length of its info array, a big-endian Count.
template <typename Count> Count readTagHeader(GatanHandle& handle) {
    if (const std::uint8_t* at = takeFromWindow(handle, 4 + sizeof(Count))) {
        if (std::memcmp(at, "%%%%", 4) != 0) {
            throw velmora::Error("Invalid tag separator");
        }
        return loadBigEndian<Count>(at + 4);
    }
    readTagSeparator(handle);
    return readBigEndian<Count>(handle);
}

[[noreturn]] void throwVectorLengthError() {
    throw std::length_error("cannot create std::vector larger than max_size()");
}

} // namespace

template <typename T>
velmora::MetadataNode& GatanTagWalk::dispatchTag(const velmora::MetadataName& name, TagInfo<T>& info) {
    // Every kind is checked for the entries it uses before its value parser runs.
    checkInfoLength(name.view(), info, 1);
    if (info[0] == 18) {
        checkInfoLength(name.view(), info, 2);
        return parseString(name, info);
    }
    if (info[0] == 20) {
        checkInfoLength(name.view(), info, 2);
        if (info[1] == 15) {
            // I[3] = n fields; a count too large for any vector is the parser's length error.
            checkInfoLength(name.view(), info, 4);
            const std::int64_t fieldCount = info[3];
            if (fieldCount >= 0 && fieldCount < (std::int64_t{1} << 60)) {
                checkInfoLength(name.view(), info, 5 + 2 * static_cast<std::uint64_t>(fieldCount));
            }
            return parseGroupArray(name, info);
        }
        checkInfoLength(name.view(), info, 3);
        return parseArray(name, info);
    }
    if (info[0] == 15) {
        checkInfoLength(name.view(), info, 3);
        const std::int64_t fieldCount = info[2];
        if (fieldCount > 0 && static_cast<std::uint64_t>(fieldCount) > (info.size() - 3) / 2) {
            throw velmora::Error(fmt::format(
                "Tag \"{0}\" has an info array of {1} entries, too short for a group of {2} fields",
                name.view(), info.size(), fieldCount));
        }
        return parseGroup(name, info);
    }
    return parseScalar(name, info[0]);
}

velmora::MetadataNode& GatanTagWalk::parseTag3(const velmora::MetadataName& name) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parsing tag \"{0}\"", name.view());
    const auto count = readTagHeader<std::int32_t>(m_handle);
    if (count < 0) {
        throwVectorLengthError();
    }
    checkValueFits(name.view(), std::uint64_t(count) * sizeof(std::int32_t));
    return parseTagBody<int>(name, static_cast<std::uint64_t>(count));
}

velmora::MetadataNode& GatanTagWalk::parseTag4(const velmora::MetadataName& name) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parsing tag \"{0}\"", name.view());
    const auto count = readTagHeader<std::uint64_t>(m_handle);
    if (count >= (std::uint64_t{1} << 60)) {
        throwVectorLengthError();
    }
    checkValueFits(name.view(), count * sizeof(std::int64_t));
    return parseTagBody<long>(name, count);
}

template <typename T>
velmora::MetadataNode& GatanTagWalk::parseTagBody(const velmora::MetadataName& name, std::uint64_t count) {
    if (count == 1) {
        // Most tags are scalars, whose info array is their element type alone.
        const T code = readBigEndian<T>(m_handle);
        if (code != 15 && code != 18 && code != 20) {
            return parseScalar(name, code);
        }
        TagInfo<T> info(1, code);
        return dispatchTag(name, info);
    }
    TagInfo<T> info = readElements<T, TagInfo<T>>(m_handle, count);
    for (T& entry : info) {
        if constexpr (sizeof(T) == 4) {
            entry = static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(entry)));
        } else {
            entry = static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(entry)));
        }
    }
    return dispatchTag(name, info);
}

std::size_t GatanTagWalk::plausibleEntryCount(std::uint64_t declared) {
    // Every entry takes at least MinimumEntryBytes of the file; a stream of unknown size gets room
    // for a first few and grows the list as entries arrive.
    const std::optional<std::uint64_t> left = bytesLeft(m_handle);
    const std::uint64_t bound = left ? *left / MinimumEntryBytes : 1024;
    return static_cast<std::size_t>(std::min(declared, bound));
}

void GatanTagWalk::checkValueFitsInStream(std::string_view tagName, std::uint64_t bytes) {
    const std::optional<std::uint64_t> left = bytesLeft(m_handle);
    if (left && bytes > *left) {
        throw velmora::Error(
            fmt::format("DM data ended early: tag \"{0}\" needs {1} bytes at offset {2}, but only {3} remain",
                        tagName, bytes, position(m_handle), *left));
    }
}

template <typename T>
void GatanTagWalk::checkInfoLength(std::string_view tagName, const TagInfo<T>& info, std::uint64_t needed) {
    if (info.size() < needed) {
        throw velmora::Error(
            fmt::format("Tag \"{0}\" has an info array of {1} entries, too short for its kind ({2} needed)",
                        tagName, info.size(), needed));
    }
}
