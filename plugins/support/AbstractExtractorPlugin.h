#pragma once

#include "InternalPluginLogger.h"
#include "trestan/Plugin.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/MetadataArena.h"

#include <fmt/format.h>
#include <memory>
#include <string>

/// Implements a plugin's identity, logging and the three forms of open for an extractor class T.
/// T provides `PluginName` and `PluginVersionText` and constructors from (path | stream | source,
/// format, options). A derived class adds the format set and the extension map. Each open builds
/// its metadata in an arena of its own (velmora::MetadataArena): one file's tree is made in one go
/// and released as a whole.
template <typename T> class AbstractExtractorPlugin : public trestan::ExtractorPlugin {
public:
    const std::string& name() const override { return s_name; }
    const trestan::PluginVersion& version() const override { return s_version; }

    void initLog(velmora::LogLevel level) override {
        const std::string name(T::PluginName);
        InternalPluginLogger::init(name, level);
    }

    std::shared_ptr<velmora::MultiImageView> open(const std::string& filePath, const std::string& format,
                                                  const trestan::OptionMap& options) override {
        checkFormat(format);
        const velmora::MetadataArena::Scope metadataMemory;
        return std::make_shared<T>(filePath, format, options);
    }

    std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::StreamAccess> stream,
                                                  const std::string& format,
                                                  const trestan::OptionMap& options) override {
        checkFormat(format);
        const velmora::MetadataArena::Scope metadataMemory;
        return std::make_shared<T>(stream, format, options);
    }

    std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::RandomAccess> source,
                                                  const std::string& format,
                                                  const trestan::OptionMap& options) override {
        checkFormat(format);
        const velmora::MetadataArena::Scope metadataMemory;
        return std::make_shared<T>(source, format, options);
    }

protected:
    static const std::string s_name;
    static const trestan::PluginVersion s_version;

private:
    // Exact, case-sensitive match against the plugin's own format set; nothing is opened before.
    void checkFormat(const std::string& format) const {
        if (supportedFormats().count(format) == 0) {
            throw trestan::UnsupportedFormat(
                fmt::format("Format {0} not supported by the plugin {1}", format, name()));
        }
    }
};

template <typename T> const std::string AbstractExtractorPlugin<T>::s_name = T::PluginName;
template <typename T>
const trestan::PluginVersion AbstractExtractorPlugin<T>::s_version{std::string(T::PluginVersionText)};
