#include "ConcurrencySupport.h"

#include "ByteSources.h"
#include "WriterSeeds.h"
#include "trestan/OptionMap.h"
#include "trestan/PluginLibrary.h"
#include "velmora/Extension.h"
#include "velmora/ImageProperties.h"
#include "velmora/LogLevel.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"
#include "velmora/VariantDataValue.h"

#include <algorithm>
#include <stdexcept>

namespace concurrency {

namespace {

std::vector<Input> gatherInputs() {
    // The writer files as files too, removed at exit.
    static std::vector<std::unique_ptr<testsupport::TemporaryFile>> s_files;
    std::vector<Input> inputs;
    for (auto& seed : gatanfuzz::writerSeeds()) {
        if (seed.name.find("refused") == std::string::npos) {
            s_files.push_back(std::make_unique<testsupport::TemporaryFile>(seed.bytes, ".dm"));
            inputs.push_back(Input{seed.name, std::move(seed.bytes), s_files.back()->path()});
        }
    }
    const std::filesystem::path samples = std::filesystem::path(TRESTAN_TEST_SOURCE_DIR) / "samples";
    for (const char* name : {"sample.dm3", "sample.dm4"}) {
        inputs.push_back(Input{name, testsupport::readFile(samples / name), samples / name});
    }
    const std::filesystem::path corpus(TRESTAN_TEST_CORPUS_DIR);
    if (std::filesystem::is_directory(corpus)) {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
            const auto extension = entry.path().extension();
            if (entry.is_regular_file() && (extension == ".dm3" || extension == ".dm4")) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            inputs.push_back(Input{"real/" + file.filename().string(), testsupport::readFile(file), file});
        }
    }
    for (const Input& input : inputs) {
        if (input.bytes.empty()) {
            throw std::runtime_error("cannot read " + input.path.string());
        }
    }
    return inputs;
}

} // namespace

trestan::ExtractorPlugin& gatanPlugin() {
    static const std::shared_ptr<trestan::PluginLibrary> s_library = [] {
        auto library =
            trestan::PluginLibrary::load(std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so");
        library->plugin().initLog(velmora::LogLevel::Info);
        return library;
    }();
    return s_library->plugin();
}

const std::vector<Input>& openableInputs() {
    static const std::vector<Input> s_inputs = gatherInputs();
    return s_inputs;
}

std::shared_ptr<velmora::MultiImageView> open(const Input& input, Source source) {
    trestan::ExtractorPlugin& plugin = gatanPlugin();
    switch (source) {
    case Source::Path:
        return plugin.open(input.path.string(), "DM", trestan::OptionMap{});
    case Source::Stream:
        return plugin.open(velmora::StreamAccessFactory::fromMemory(input.bytes.data(), input.bytes.size()),
                           "DM", trestan::OptionMap{});
    case Source::RandomAccess:
        return plugin.open(std::static_pointer_cast<velmora::RandomAccess>(
                               std::make_shared<testsupport::MemorySource>(input.bytes)),
                           "DM", trestan::OptionMap{});
    }
    throw std::logic_error("unknown source");
}

namespace {

/// FNV-1a.
void mix(std::uint64_t& sum, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        sum = (sum ^ bytes[i]) * 0x100000001B3ULL;
    }
}

template <typename T> void mixValue(std::uint64_t& sum, const T& value) {
    mix(sum, &value, sizeof value);
}

} // namespace

std::uint64_t treeDigest(const velmora::MetadataNode& root) {
    std::uint64_t sum = 0xCBF29CE484222325ULL;
    std::vector<const velmora::MetadataNode*> pending{&root};
    while (!pending.empty()) {
        const velmora::MetadataNode* node = pending.back();
        pending.pop_back();
        mix(sum, node->name().data(), node->name().size());
        mixValue(sum, node->childCount());
        if (const auto& value = node->value()) {
            mixValue(sum, value->type());
            mixValue(sum, value->count());
            if (value->isString()) {
                mix(sum, value->text().data(), value->text().size());
            } else if (value->count() > 0) {
                mix(sum, value->data(), value->count() * velmora::valueTypeSize(value->type()));
            }
        }
        for (auto it = node->end(); it != node->begin();) {
            pending.push_back((--it)->get());
        }
    }
    return sum;
}

Bytes readRegion(velmora::ImageView& frame, const velmora::RegionX<std::size_t>& region) {
    Bytes pixels(region.elementCount() * frame.dataType().elementSize());
    frame.readRegion(region, pixels.data());
    return pixels;
}

std::uint64_t digest(velmora::MultiImageView& view) {
    std::uint64_t sum = treeDigest(*view.metadata());
    const auto origin = std::dynamic_pointer_cast<velmora::ViewOriginExtension>(
        view.extension(velmora::VIEW_ORIGIN_EXTENSION));
    const std::string name = origin->displayName();
    mix(sum, name.data(), name.size());
    mixValue(sum, origin->dataOrigin());
    mixValue(sum, view.frameCount());
    for (std::size_t index = 0; index < view.frameCount(); ++index) {
        const auto frame = view.frame(index);
        for (std::size_t length : frame->shape()) {
            mixValue(sum, length);
        }
        mixValue(sum, frame->dataType().id());
        const auto properties = frame->properties();
        mixValue(sum, properties->imageInfo().axes());
        mixValue(sum, properties->imageInfo().interpretation());
        mixValue(sum, properties->imageInfo().bitDepth());
        mixValue(sum, properties->imageInfo().valueRange());
        mixValue(sum, properties->calibration().origin());
        mixValue(sum, properties->calibration().spacing());
        const std::string& unit = properties->calibration().unit();
        mix(sum, unit.data(), unit.size());
        const auto frameOrigin = std::dynamic_pointer_cast<velmora::ViewOriginExtension>(
            frame->extension(velmora::VIEW_ORIGIN_EXTENSION));
        const std::string frameName = frameOrigin->displayName();
        mix(sum, frameName.data(), frameName.size());
        mixValue(sum, frameOrigin->dataOrigin());
        mixValue(sum, frameOrigin->parent(0)->uid() == origin->uid());
        const Bytes pixels = readRegion(*frame, velmora::RegionX<std::size_t>::whole(frame->shape()));
        mix(sum, pixels.data(), pixels.size());
    }
    return sum;
}

} // namespace concurrency
