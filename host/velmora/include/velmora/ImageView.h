#pragma once

#include "velmora/DataType.h"
#include "velmora/ImageProperties.h"
#include "velmora/Indexer.h"
#include "velmora/MetadataNode.h"
#include "velmora/Vector.h"
#include "velmora/View.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora {

/// One n-dimensional image. A view answers queries about its shape, type and properties, and copies
/// pixels. The default behaviour of every operation works for any view: pixel access goes through
/// readRegion, which by default copies from bufferReadOnly(); writing, reshaping and replacing
/// properties or metadata are refused with velmora::Error unless a view supports them.
class VELMORA_API ImageView : public View {
public:
    ~ImageView() override;

    virtual const VectorX<std::size_t>& shape() = 0;
    virtual DataType dataType() = 0;
    virtual std::shared_ptr<ImageProperties> properties() = 0;
    virtual std::shared_ptr<MetadataNode> metadata() const = 0;

    /// Copies the element at `index` to `destination` (dataType().elementSize() bytes), as a
    /// one-element readRegion.
    virtual void read(const VectorX<std::size_t>& index, void* destination);
    /// Copies `region` into `destination`, packed in the region's shape with axis 0 fastest. The
    /// default copies from bufferReadOnly() laid out by indexer(); a view without a buffer refuses.
    virtual void readRegion(const RegionX<std::size_t>& region, void* destination);
    virtual void setProperties(std::shared_ptr<const ImageProperties> properties);
    virtual void setMetadata(std::shared_ptr<MetadataNode> metadata);
    virtual void write(const VectorX<std::size_t>& index, const void* source);
    virtual void writeRegion(const RegionX<std::size_t>& region, const void* source);
    virtual void reshape(const VectorX<std::size_t>& shape, DataType type);
    /// Layout of the view's pixels: the packed layout of shape() and dataType() by default.
    virtual Indexer indexer();
    /// Writable pixel memory, or nullptr (the default) when the view does not hand it out.
    virtual void* buffer();
    /// Read-only pixel memory, or nullptr (the default).
    virtual const void* bufferReadOnly() const;
    /// Bytes of buffer() and bufferReadOnly(); 0 by default. The default readRegion refuses a buffer
    /// smaller than indexer().byteCount().
    virtual std::size_t bufferSize() const;
};

/// A view made of several image frames. The default keeps its own list of frames and metadata,
/// which addFrame, setFrame, removeFrame and setMetadata edit.
class VELMORA_API MultiImageView : public View {
public:
    ~MultiImageView() override;

    virtual std::size_t frameCount() const;
    /// Frame `index`; an index not below frameCount() is refused with velmora::InvalidArgument.
    virtual std::shared_ptr<ImageView> frame(std::size_t index);
    virtual std::shared_ptr<MetadataNode> metadata() const;
    virtual void addFrame(std::shared_ptr<ImageView> frame);
    virtual void setFrame(std::size_t index, std::shared_ptr<ImageView> frame);
    virtual void removeFrame(std::size_t index);
    virtual void setMetadata(std::shared_ptr<MetadataNode> metadata);

private:
    std::vector<std::shared_ptr<ImageView>> m_defaultFrames;
    std::shared_ptr<MetadataNode> m_defaultMetadata;
};

} // namespace velmora
