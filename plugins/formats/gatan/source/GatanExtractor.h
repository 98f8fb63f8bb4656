#pragma once

#include "AbstractExtractorMulti.h"
#include "GatanHandle.h"
#include "trestan/OptionMap.h"
#include "velmora/DataType.h"
#include "velmora/MetadataNode.h"
#include "velmora/RandomAccess.h"
#include "velmora/StreamAccess.h"
#include "velmora/VariantDataValue.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class GatanFrameExtractor;

/// A DM3 or DM4 file as a multi-frame view. The constructor reads everything: the header, the whole
/// tag tree (one forward pass, one metadata node per directory and per tag) and the pixels of every
/// image of "ImageList". Afterwards the view answers from memory and never reads the stream again.
class GatanExtractor : public AbstractExtractorMulti {
public:
    static constexpr const char* PluginName = "GatanPlugin";
    static constexpr const char* PluginVersionText = "2.0.0";

    /// Deepest directory nesting accepted; real files nest about ten levels.
    static constexpr int MaxDirectoryDepth = 256;
    /// Memory that the items of arrays of groups without fields may take in one file. Such groups
    /// take no bytes, so they are the only nodes the file does not pay for, and their number is
    /// bounded by what they cost instead.
    static constexpr std::uint64_t EmptyGroupMemory = std::uint64_t{144} << 20;
    /// What one such item costs: its node with the shared pointer's counts and an allocator's
    /// header, and up to three places in lists of children: the array's list holds up to twice as
    /// many places as items, and the old and the new list both exist while it grows.
    static constexpr std::uint64_t EmptyGroupNodeCost =
        sizeof(velmora::MetadataNode) + 24 + 3 * sizeof(std::shared_ptr<velmora::MetadataNode>);
    /// Most items that arrays of groups without fields may make in one file (2^20 on 64-bit Linux):
    /// a file of a few bytes may make the walk take about EmptyGroupMemory, never much more.
    static constexpr std::int64_t MaxEmptyGroupNodes = EmptyGroupMemory / EmptyGroupNodeCost;

    GatanExtractor(const std::string& filePath, const std::string& format, const trestan::OptionMap& options);
    GatanExtractor(std::shared_ptr<velmora::StreamAccess> stream, const std::string& format,
                   const trestan::OptionMap& options);
    GatanExtractor(std::shared_ptr<velmora::RandomAccess> source, const std::string& format,
                   const trestan::OptionMap& options);
    ~GatanExtractor() override;

    std::uint64_t capabilities() const override;
    std::size_t frameCount() const override;
    std::shared_ptr<velmora::ImageView> frame(std::size_t index) override;
    std::shared_ptr<velmora::MetadataNode> metadata() const override;

    /// The element type of a tag data type code (2 to 12); velmora::Error "Tag type {0} is not
    /// convertible" for any other code.
    template <typename T> static velmora::DataType convertTagDataType(T code);
    /// A value of `count` elements of `type` copied from `data`.
    static std::shared_ptr<velmora::VariantDataValue> createTagValue(velmora::DataType type, const void* data,
                                                                     unsigned long count);

private:
    void registerViewOrigin(velmora::ViewDataOrigin origin);
    void init();
    void discoverFrames();

    std::shared_ptr<velmora::MetadataNode> parseDirectory3(const std::string& name);
    std::shared_ptr<velmora::MetadataNode> parseDirectory4(const std::string& name);
    std::shared_ptr<velmora::MetadataNode> parseTag3(const std::string& name);
    std::shared_ptr<velmora::MetadataNode> parseTag4(const std::string& name);
    template <typename T>
    std::shared_ptr<velmora::MetadataNode> dispatchTag(const std::string& name, std::vector<T>& info);

    template <typename T>
    std::shared_ptr<velmora::MetadataNode> parseString(const std::string& name, const std::vector<T>& info);
    template <typename T>
    std::shared_ptr<velmora::MetadataNode> parseGroup(const std::string& name, const std::vector<T>& info);
    template <typename T>
    std::shared_ptr<velmora::MetadataNode> parseArray(const std::string& name, const std::vector<T>& info);
    template <typename T>
    std::shared_ptr<velmora::MetadataNode> parseGroupArray(const std::string& name,
                                                           const std::vector<T>& info);
    template <typename T>
    std::shared_ptr<velmora::MetadataNode> parseScalar(const std::string& name, const std::vector<T>& info);

    /// Reads `length` UTF-16 code units and converts them to UTF-8, dropping ill-formed units.
    std::string extractString(unsigned long length, const std::string& tagName);

    /// Refuses a value of `bytes` bytes at the current position when the stream is known to end
    /// before it: nothing is allocated for data the file cannot hold.
    void checkValueFits(const std::string& tagName, std::uint64_t bytes);
    template <typename T>
    void checkInfoLength(const std::string& tagName, const std::vector<T>& info, std::uint64_t needed);

    std::shared_ptr<GatanHandle> m_handle;
    std::vector<std::shared_ptr<GatanFrameExtractor>> m_frames;

    std::optional<std::uint64_t> m_streamSize;
    int m_depth = 0;
    std::int64_t m_emptyGroupNodes = 0;
};
