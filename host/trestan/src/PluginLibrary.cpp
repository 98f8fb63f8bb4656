#include "trestan/PluginLibrary.h"

#include "velmora/Error.h"

#include <dlfcn.h>
#include <fmt/format.h>

namespace trestan {

namespace {

std::string loaderMessage() {
    const char* message = dlerror();
    return message != nullptr ? message : "unknown loader error";
}

} // namespace

std::shared_ptr<PluginLibrary> PluginLibrary::load(const std::string& path) {
    // RTLD_NODELETE keeps the code mapped after the last handle is closed: views and frames made by
    // the plugin may outlive the library object and still need their vtables.
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        throw velmora::Error(fmt::format("cannot load plugin '{}': {}", path, loaderMessage()));
    }
    dlerror();
    void* symbol = dlsym(handle, ExtractorPluginSymbol);
    if (symbol == nullptr) {
        dlclose(handle);
        throw velmora::Error(
            fmt::format("cannot load plugin '{}': the library does not export the symbol '{}'", path,
                        ExtractorPluginSymbol));
    }
    // The symbol is the plugin object itself, whose only base chain starts at ExtractorPlugin.
    auto* plugin = static_cast<ExtractorPlugin*>(symbol);
    const int api = plugin->api();
    if (api != ExtractorPlugin::ApiVersion) {
        dlclose(handle);
        throw velmora::Error(fmt::format("cannot load plugin '{}': it implements extractor interface {}, "
                                         "this host needs {}",
                                         path, api, ExtractorPlugin::ApiVersion));
    }
    return std::shared_ptr<PluginLibrary>(new PluginLibrary(path, handle, plugin));
}

PluginLibrary::PluginLibrary(std::string path, void* handle, ExtractorPlugin* plugin)
    : m_path(std::move(path)), m_handle(handle), m_plugin(plugin) {}

PluginLibrary::~PluginLibrary() {
    dlclose(m_handle);
}

} // namespace trestan
