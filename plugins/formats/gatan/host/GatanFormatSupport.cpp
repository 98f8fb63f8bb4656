// What the Gatan format offers hosts beyond its plugin: the index of a DM file, made by the reader's
// own walk and frame description, reads of its frames' stored bytes, the frames' roles as the file
// lists them, and the microscopy metadata mapped from its tags.

#include "trestan/gatan/DmIndex.h"
#include "trestan/gatan/DmMetadata.h"
#include "trestan/toolkit/FormatRegistry.h"

namespace trestan::gatan {

namespace {

using toolkit::FileIndex;
using toolkit::IndexedFrame;

class GatanFormatSupport final : public toolkit::FormatSupport {
public:
    std::string format() const override { return "DM"; }
    std::vector<std::string> extensions() const override { return {"dm3", "dm4"}; }

    FileIndex index(const std::string& path) const override {
        const DmIndex dm = DmIndex::build(path);
        FileIndex index{format(), dm.metadata(), {}, dm.fileSize(), {}};
        // The DM data type code is the reader's own; hosts describe frames by their element type.
        index.frames.assign(dm.frames().begin(), dm.frames().end());
        // The plugin's frames derive from the view of a file opened by its path.
        index.frameOrigin =
            FileIndex::FrameOrigin{DmIndex::frameViewName(), velmora::ViewDataOrigin::FILE, 1};
        return index;
    }

    void readFrameBytes(int fd, const IndexedFrame& frame, std::uint64_t firstByte, std::uint64_t count,
                        void* destination) const override {
        gatan::readFrameBytes(fd, frame, firstByte, count, destination);
    }

    toolkit::FrameRoles frameRoles(const FileIndex& index) const override {
        if (!index.metadata) {
            return FormatSupport::frameRoles(index);
        }
        FrameRoles roles = gatan::frameRoles(*index.metadata, index.frames.size());
        return {std::move(roles.thumbnail), roles.main};
    }

    std::optional<toolkit::MappedImage> mapImage(const FileIndex& index, std::size_t frame) const override {
        if (!index.metadata || frame >= index.frames.size()) {
            return std::nullopt;
        }
        MappedSignal signal = mapSignal(*index.metadata, frame, index.frames[frame].shape.values());
        return toolkit::MappedImage{signal.frame, std::move(signal.frameAxes), std::move(signal.json)};
    }
};

} // namespace

} // namespace trestan::gatan

using GatanFormatSupport = trestan::gatan::GatanFormatSupport;
TRESTAN_REGISTER_FORMAT_SUPPORT(GatanFormatSupport)
