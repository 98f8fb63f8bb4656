#include "PluginLogger.h"

#include "InternalPluginLogger.h"

std::shared_ptr<spdlog::logger> PluginLogger::logger() {
    auto instance = InternalPluginLogger::instance();
    return instance ? instance->logger() : nullptr;
}
