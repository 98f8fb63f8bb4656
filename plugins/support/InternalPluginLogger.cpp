#include "InternalPluginLogger.h"

#include "velmora/Error.h"

#include <spdlog/sinks/stdout_color_sinks.h>

std::shared_ptr<InternalPluginLogger> InternalPluginLogger::s_instance;
std::once_flag InternalPluginLogger::s_initFlag;

void InternalPluginLogger::init(const std::string& name, velmora::LogLevel level) {
    std::call_once(s_initFlag, [&] { initialize(name, level); });
}

void InternalPluginLogger::initialize(const std::string& name, velmora::LogLevel level) {
    s_instance = std::make_shared<InternalPluginLogger>(name, level);
}

std::shared_ptr<InternalPluginLogger> InternalPluginLogger::instance() {
    return s_instance;
}

spdlog::level::level_enum InternalPluginLogger::convertLogLevel(velmora::LogLevel level) {
    const auto numeric = static_cast<unsigned>(level);
    if (numeric > 6) {
        throw velmora::Error("unsupported log level");
    }
    return static_cast<spdlog::level::level_enum>(6 - numeric);
}

InternalPluginLogger::InternalPluginLogger(const std::string& name, velmora::LogLevel level)
    : m_logger(spdlog::stdout_color_mt(name, spdlog::color_mode::automatic)), m_logLevel(level) {
    // The level is converted last: a refused level leaves the logger registered under `name`.
    m_logger->set_level(convertLogLevel(level));
}
