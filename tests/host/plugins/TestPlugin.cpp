// A minimal extractor plugin for the loader tests. Compiled three times: as a working plugin, without
// the plugin symbol (TEST_PLUGIN_WITHOUT_SYMBOL) and with another interface version (TEST_PLUGIN_API);
// the package test (consumer/) builds it once more against the installed packages.

#include "trestan/Plugin.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/MetadataNode.h"

#include <atomic>

namespace hosttest {

std::atomic<int> s_logLevel{-1};

class HostTestPlugin final : public trestan::ExtractorPlugin {
public:
#ifdef TEST_PLUGIN_API
    int api() const override {
        return TEST_PLUGIN_API;
    }
#endif
    const std::string& name() const override {
        return m_name;
    }
    const trestan::PluginVersion& version() const override {
        return m_version;
    }
    void initLog(velmora::LogLevel level) override {
        s_logLevel = static_cast<int>(level);
    }
    const std::unordered_set<std::string>& supportedFormats() const override {
        return m_formats;
    }
    const std::unordered_map<std::string, std::string>& extensionMap() const override {
        return m_extensions;
    }

    // The view's metadata holds the log level last set.
    std::shared_ptr<velmora::MultiImageView> open(const std::string&, const std::string& format,
                                                  const trestan::OptionMap&) override {
        checkFormat(format);
        auto view = std::make_shared<velmora::MultiImageView>();
        view->setMetadata(velmora::MetadataNodeFactory::create("root"));
        view->metadata()->addChild(velmora::MetadataNodeFactory::create(
            "logLevel", velmora::VariantDataValueFactory::create(s_logLevel.load())));
        return view;
    }
    std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::StreamAccess>,
                                                  const std::string& format,
                                                  const trestan::OptionMap&) override {
        checkFormat(format);
        return std::make_shared<velmora::MultiImageView>();
    }
    std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::RandomAccess>,
                                                  const std::string& format,
                                                  const trestan::OptionMap&) override {
        checkFormat(format);
        return std::make_shared<velmora::MultiImageView>();
    }

private:
    void checkFormat(const std::string& format) const {
        if (m_formats.count(format) == 0) {
            throw trestan::UnsupportedFormat("Format " + format + " not supported by the plugin " + m_name);
        }
    }
    std::string m_name = "HostTestPlugin";
    trestan::PluginVersion m_version{"1.2.3"};
    std::unordered_set<std::string> m_formats{"TST", "TST2"};
    std::unordered_map<std::string, std::string> m_extensions{{"tst", "TST"}, {"ts2", "TST2"}};
};

} // namespace hosttest

#ifndef TEST_PLUGIN_WITHOUT_SYMBOL
extern "C" __attribute__((visibility("default"))) hosttest::HostTestPlugin trestan_extractor_plugin;
hosttest::HostTestPlugin trestan_extractor_plugin;
#else
// Keeps the library non-empty and its class used, so the only difference is the missing symbol.
__attribute__((used)) static hosttest::HostTestPlugin s_unexportedPlugin;
#endif
