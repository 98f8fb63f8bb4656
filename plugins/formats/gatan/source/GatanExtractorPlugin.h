#pragma once

#include "AbstractExtractorPlugin.h"
#include "GatanExtractor.h"

#include <string>
#include <unordered_map>
#include <unordered_set>

/// The Gatan Digital Micrograph plugin: format "DM", extensions dm3 and dm4. It has no data of its
/// own; the exported object is its table of operations.
class GatanExtractorPlugin final : public AbstractExtractorPlugin<GatanExtractor> {
public:
    ~GatanExtractorPlugin() override;

    const std::unordered_set<std::string>& supportedFormats() const override;
    const std::unordered_map<std::string, std::string>& extensionMap() const override;

private:
    static const std::unordered_set<std::string> s_supportedFormats;
    static const std::unordered_map<std::string, std::string> s_extensionMapping;
};
