#pragma once

#include "AbstractExtractorMulti.h"
#include "GatanHandle.h"
#include "GatanTagWalk.h"
#include "trestan/OptionMap.h"
#include "velmora/MetadataNode.h"
#include "velmora/RandomAccess.h"
#include "velmora/StreamAccess.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class GatanFrameExtractor;

/// A DM3 or DM4 file as a multi-frame view. The constructor reads everything: the header and the
/// whole tag tree (GatanTagWalk), then the pixels of every image of "ImageList". Afterwards the view
/// answers from memory and never reads the stream again.
class GatanExtractor : public AbstractExtractorMulti {
public:
    static constexpr const char* PluginName = "GatanPlugin";
    static constexpr const char* PluginVersionText = "2.0.0";

    /// The walk's bounds (GatanTagWalk).
    static constexpr int MaxDirectoryDepth = GatanTagWalk::MaxDirectoryDepth;
    static constexpr std::int64_t MaxEmptyGroupNodes = GatanTagWalk::MaxEmptyGroupNodes;

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

private:
    void registerViewOrigin(velmora::ViewDataOrigin origin);
    void init();
    void discoverFrames();

    std::shared_ptr<GatanHandle> m_handle;
    std::vector<std::shared_ptr<GatanFrameExtractor>> m_frames;
};
