#pragma once

#include "AbstractExtractor.h"
#include "GatanFrameDescription.h"
#include "GatanHandle.h"
#include "PixelBufferAllocator.h"
#include "velmora/Indexer.h"
#include "velmora/MetadataNode.h"
#include "velmora/View.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

/// One image of a DM file ("ImageList" entry) as a read-only image view. The constructor takes
/// shape, element type, layout, properties and calibration from the entry's description
/// (describeFrame) and loads the whole pixel array into memory; region reads are then memory copies.
class GatanFrameExtractor : public AbstractExtractor {
public:
    /// The display name of a frame's view-origin record: "<plugin name> frame Extractor".
    static std::string viewOriginName();

    /// `imageData` is the "ImageData" directory of the entry; `parent` the multi-frame view that owns
    /// the frame (its view-origin record must be registered); `imageIndex` names the image in errors.
    GatanFrameExtractor(std::shared_ptr<GatanHandle> handle, std::shared_ptr<velmora::MetadataNode> imageData,
                        velmora::View* parent, std::size_t imageIndex = 0);
    ~GatanFrameExtractor() override;

    /// Copies `region` of the image, packed, to `destination`. Colour pixels are stored in 4 bytes
    /// and delivered in 3. Safe to call from several threads at once.
    void readRegion(const velmora::RegionX<std::size_t>& region, void* destination) override;

private:
    void loadPixels();

    std::shared_ptr<GatanHandle> m_handle;
    velmora::Indexer m_indexer;
    std::uint64_t m_dataOffset = 0;
    PixelBuffer m_buffer;
};
