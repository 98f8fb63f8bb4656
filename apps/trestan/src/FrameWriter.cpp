#include "FrameWriter.h"

#include "NpyWriter.h"
#include "PngPreviewWriter.h"
#include "RawWriter.h"
#include "TiffWriter.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace trestan::cli {

FrameWriter::~FrameWriter() = default;

std::unique_ptr<FrameWriter> FrameWriter::forPath(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".npy") {
        return std::make_unique<NpyWriter>();
    }
    if (extension == ".tif" || extension == ".tiff") {
        return std::make_unique<TiffWriter>();
    }
    if (extension == ".png") {
        return std::make_unique<PngPreviewWriter>();
    }
    if (extension == ".raw") {
        return std::make_unique<RawWriter>();
    }
    return nullptr;
}

std::vector<std::string> FrameWriter::knownExtensions() {
    return {".npy", ".tif", ".tiff", ".png", ".raw"};
}

} // namespace trestan::cli
