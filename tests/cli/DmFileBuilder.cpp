#include "DmFileBuilder.h"

#include "CliTestSupport.h"

namespace trestan::clitest {

dmwriter::ImageDefinition dmImage(std::int32_t dataType, std::vector<std::uint32_t> dimensions,
                                  dmwriter::Bytes pixels) {
    dmwriter::ImageDefinition image;
    image.dataType = dataType;
    image.dimensions = std::move(dimensions);
    image.pixels = std::move(pixels);
    return image;
}

void writeDmFile(const std::string& path, const std::vector<dmwriter::ImageDefinition>& images,
                 dmwriter::Version version) {
    dmwriter::DmFile file(version);
    file.dmFraming();
    dmwriter::Directory& root = file.root();
    root.flags(1, 0);
    root.addTag("HasWindowPosition", dmwriter::Tag::boolean(false));
    dmwriter::Directory& imageList = root.addDirectory("ImageList");
    for (const dmwriter::ImageDefinition& image : images) {
        dmwriter::addImage(imageList, image);
    }
    file.writeFile(path);
}

void writeHeaderOnlyFile(const std::string& path, std::uint32_t version) {
    // Version word, length word and byte-order word, big-endian, then four bytes of a directory.
    Bytes bytes(16, 0);
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(version >> (24 - 8 * i));
    }
    bytes[11] = 1;
    writeFile(path, bytes);
}

} // namespace trestan::clitest
