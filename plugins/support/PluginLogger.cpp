#include "PluginLogger.h"

#include "InternalPluginLogger.h"

std::shared_ptr<spdlog::logger> PluginLogger::logger() {
    auto instance = InternalPluginLogger::instance();
    return instance ? instance->logger() : nullptr;
}

bool PluginLogger::enabled(spdlog::level::level_enum level) {
    const std::shared_ptr<InternalPluginLogger> instance = InternalPluginLogger::instance();
    if (!instance) {
        return false;
    }
    const std::shared_ptr<spdlog::logger> logger = instance->logger();
    return logger->should_log(level) || logger->should_backtrace();
}
