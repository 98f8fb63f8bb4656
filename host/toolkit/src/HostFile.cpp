#include "trestan/toolkit/HostFile.h"

#include "trestan/toolkit/FormatRegistry.h"
#include "trestan/toolkit/FreshMemory.h"
#include "velmora/Error.h"
#include "velmora/Indexer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace trestan::toolkit {

struct HostFile::Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    static Identity of(const struct stat& status) {
        return {status.st_dev, status.st_ino, status.st_size, status.st_mtim};
    }
    bool operator==(const Identity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
    }
};

namespace {

// The frames of a plugin's view as an index describes them: shape, element type and properties;
// where the pixels lie is the view's business.
void describeViewFrames(velmora::MultiImageView& view, FileIndex& index) {
    const std::size_t count = view.frameCount();
    index.frames.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::shared_ptr<velmora::ImageView> frame = view.frame(i);
        IndexedFrame& entry = index.frames.emplace_back();
        entry.index = i;
        entry.shape = frame->shape();
        entry.dataType = frame->dataType();
        if (const std::shared_ptr<velmora::ImageProperties> properties = frame->properties()) {
            entry.properties = *properties;
        } else {
            throw velmora::Error("frame " + std::to_string(i) + " has no image properties");
        }
    }
}

} // namespace

HostFile HostFile::open(PluginHost& host, const std::string& path, ReadThrough through) {
    requireRegularFile(path);
    HostFile file;
    file.m_path = path;
    std::string format;
    file.m_plugin = &host.pluginFor(path, format);
    file.m_support = FormatRegistry::instance().forFormat(format);
    if (file.m_support != nullptr && through == ReadThrough::Index) {
        struct stat status {};
        const bool known = ::stat(path.c_str(), &status) == 0;
        file.m_index = file.m_support->index(path);
        file.m_index.format = format;
        file.m_indexed = true;
        if (known) {
            file.m_identity = std::make_unique<Identity>(Identity::of(status));
        }
        return file;
    }
    file.m_opened = host.open(path);
    file.m_index.format = file.m_opened.format;
    file.m_index.metadata = file.m_opened.view->metadata();
    describeViewFrames(*file.m_opened.view, file.m_index);
    if (file.m_support != nullptr) {
        // Where the pixels lie and how many of their bytes the file holds, which the views do not
        // tell: from the format's index, which reads the tags again.
        const FileIndex stored = file.m_support->index(path);
        if (stored.frames.size() == file.m_index.frames.size()) {
            for (IndexedFrame& frame : file.m_index.frames) {
                const IndexedFrame& same = stored.frames[frame.index];
                frame.layout = same.layout;
                frame.offset = same.offset;
                frame.byteCount = same.byteCount;
                frame.bytesInFile = same.bytesInFile;
            }
        }
        file.m_index.fileSize = stored.fileSize;
    }
    return file;
}

HostFile::HostFile(HostFile&&) noexcept = default;
HostFile& HostFile::operator=(HostFile&&) noexcept = default;
HostFile::~HostFile() = default;

HostFile::Descriptor::~Descriptor() {
    if (fd >= 0) {
        ::close(fd);
    }
}

FrameRoles HostFile::roles() const {
    if (m_support == nullptr) {
        return {std::vector<bool>(m_index.frames.size(), false), std::nullopt};
    }
    return m_support->frameRoles(m_index);
}

std::optional<FileIndex::FrameOrigin> HostFile::frameOrigin(std::size_t frame) const {
    if (m_indexed) {
        return m_index.frameOrigin;
    }
    const std::shared_ptr<velmora::ViewOriginExtension> origin = m_opened.view->frame(frame)->viewOrigin();
    if (!origin) {
        return std::nullopt;
    }
    return FileIndex::FrameOrigin{origin->displayName(), origin->dataOrigin(), origin->parentCount()};
}

int HostFile::descriptor() const {
    if (m_descriptor.fd >= 0) {
        return m_descriptor.fd;
    }
    int fd = -1;
    do {
        fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throw velmora::Error("cannot open the file again to read its pixels: " +
                             std::string(std::strerror(errno)));
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !m_identity ||
        !(Identity::of(status) == *m_identity)) {
        ::close(fd);
        throw velmora::Error("the file changed after its tags were read");
    }
    m_descriptor.fd = fd;
    return fd;
}

void HostFile::readRegion(std::size_t frame, const velmora::RegionX<std::size_t>& region,
                          void* destination) const {
    if (frame >= m_index.frames.size()) {
        throw velmora::InvalidArgument("frame " + std::to_string(frame) + " does not exist");
    }
    if (!m_indexed) {
        m_opened.view->frame(frame)->readRegion(region, destination);
        return;
    }
    const IndexedFrame& stored = m_index.frames[frame];
    const velmora::Indexer& layout = stored.layout;
    const std::size_t axes = layout.dimensions();
    if (region.offset().size() != axes || region.size().size() != axes) {
        throw velmora::InvalidArgument("the region has " + std::to_string(region.size().size()) +
                                       " axes; the frame has " + std::to_string(axes));
    }
    std::uint64_t start = 0;
    for (std::size_t axis = 0; axis < axes; ++axis) {
        const std::size_t offset = region.offset()[axis];
        const std::size_t size = region.size()[axis];
        if (offset > layout.shape()[axis] || size > layout.shape()[axis] - offset) {
            throw velmora::InvalidArgument("the region lies outside the frame on axis " +
                                           std::to_string(axis));
        }
        if (size == 0) {
            return;
        }
        start += std::uint64_t{offset} * layout.strides()[axis];
    }
    // The region in the stored layout, as if its first byte began the array.
    const velmora::Indexer spanned(region.size(), layout.dataType(), layout.strides());
    const std::uint64_t span = std::min<std::uint64_t>(spanned.byteCount(), stored.byteCount - start);
    const std::uint64_t delivered = std::uint64_t{spanned.elementCount()} * stored.dataType.elementSize();
    if (span == delivered) {
        // Contiguous and stored as delivered: straight into the destination.
        m_support->readFrameBytes(descriptor(), stored, start, span, destination);
        return;
    }
    const FreshMemory bytes(span);
    m_support->readFrameBytes(descriptor(), stored, start, span, bytes.data());
    velmora::RegionCopier(spanned, velmora::RegionX<std::size_t>::whole(region.size()), stored.dataType)
        .copy(bytes.data(), static_cast<std::uint8_t*>(destination));
}

} // namespace trestan::toolkit
