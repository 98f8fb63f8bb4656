#include "trestan/Plugin.h"
#include "trestan/UnsupportedFormat.h"

namespace consumer {

class ConsumerPlugin final : public trestan::ExtractorPlugin {
public:
    const std::string& name() const override {
        static const std::string s_name = "ConsumerPlugin";
        return s_name;
    }
    const trestan::PluginVersion& version() const override {
        static const trestan::PluginVersion s_version("0.3");
        return s_version;
    }
    void initLog(velmora::LogLevel) override {}
    const std::unordered_set<std::string>& supportedFormats() const override {
        static const std::unordered_set<std::string> s_formats{"CONSUMER"};
        return s_formats;
    }
    const std::unordered_map<std::string, std::string>& extensionMap() const override {
        static const std::unordered_map<std::string, std::string> s_extensions{{"cns", "CONSUMER"}};
        return s_extensions;
    }
    std::shared_ptr<velmora::MultiImageView> open(const std::string&, const std::string& format,
                                                  const trestan::OptionMap&) override {
        throw trestan::UnsupportedFormat("cannot open " + format);
    }
    std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::StreamAccess>,
                                                  const std::string& format,
                                                  const trestan::OptionMap&) override {
        throw trestan::UnsupportedFormat("cannot open " + format);
    }
    std::shared_ptr<velmora::MultiImageView> open(std::shared_ptr<velmora::RandomAccess>,
                                                  const std::string& format,
                                                  const trestan::OptionMap&) override {
        throw trestan::UnsupportedFormat("cannot open " + format);
    }
};

} // namespace consumer

extern "C" __attribute__((visibility("default"))) consumer::ConsumerPlugin trestan_extractor_plugin;
consumer::ConsumerPlugin trestan_extractor_plugin;
