#pragma once

#include "trestan/Export.h"
#include "trestan/OptionMap.h"
#include "trestan/PluginVersion.h"
#include "velmora/ImageView.h"
#include "velmora/LogLevel.h"
#include "velmora/RandomAccess.h"
#include "velmora/StreamAccess.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace trestan {

/// Root interface of every plugin: identity and logging.
class TRESTAN_API Plugin {
public:
    virtual ~Plugin();
    /// Version of the plugin interface the plugin implements.
    virtual int api() const = 0;
    virtual const std::string& name() const = 0;
    virtual const PluginVersion& version() const = 0;
    /// Sets the plugin's log level; called by the host before the plugin is used.
    virtual void initLog(velmora::LogLevel level) = 0;
};

/// A plugin that serves file formats.
class TRESTAN_API FormatPlugin : public Plugin {
public:
    ~FormatPlugin() override;
    /// Format names, such as "DM".
    virtual const std::unordered_set<std::string>& supportedFormats() const = 0;
    /// Lower-case file extension (without dot) to format name.
    virtual const std::unordered_map<std::string, std::string>& extensionMap() const = 0;
};

/// A plugin that reads data. Each open returns a new multi-frame view that owns everything it read.
class TRESTAN_API ExtractorPlugin : public FormatPlugin {
public:
    /// Version of the extractor interface.
    static constexpr int ApiVersion = 2;

    ~ExtractorPlugin() override;
    int api() const override;

    virtual std::shared_ptr<velmora::MultiImageView>
    open(const std::string& filePath, const std::string& format, const OptionMap& options) = 0;
    virtual std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::StreamAccess> stream,
                                                          const std::string& format,
                                                          const OptionMap& options) = 0;
    virtual std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::RandomAccess> source,
                                                          const std::string& format,
                                                          const OptionMap& options) = 0;
};

/// Name of the data symbol through which a plugin library exports its ExtractorPlugin object.
inline constexpr const char* ExtractorPluginSymbol = "trestan_extractor_plugin";

} // namespace trestan
