#pragma once

#include "velmora/LogLevel.h"

#include <memory>
#include <mutex>
#include <spdlog/spdlog.h>
#include <string>

/// The process-wide owner of a plugin's spdlog logger. Created once, by the first successful init;
/// later calls change nothing, so the level cannot be changed after initialisation.
class InternalPluginLogger {
public:
    /// Creates the logger `name` at `level` once per process. A level above 6 is refused with
    /// velmora::Error "unsupported log level" (the once flag then stays unset).
    static void init(const std::string& name, velmora::LogLevel level);
    /// Replaces the singleton with a new instance (used by init, through the once flag).
    static void initialize(const std::string& name, velmora::LogLevel level);
    /// The singleton; empty before initialisation.
    static std::shared_ptr<InternalPluginLogger> instance();
    /// spdlog level for a velmora level: 6 - level.
    static spdlog::level::level_enum convertLogLevel(velmora::LogLevel level);

    InternalPluginLogger(const std::string& name, velmora::LogLevel level);

    std::shared_ptr<spdlog::logger> logger() const { return m_logger; }
    velmora::LogLevel logLevel() const { return m_logLevel; }

private:
    std::shared_ptr<spdlog::logger> m_logger;
    velmora::LogLevel m_logLevel;

    static std::shared_ptr<InternalPluginLogger> s_instance;
    static std::once_flag s_initFlag;
};
