#pragma once

#include <memory>
#include <spdlog/spdlog.h>

/// Short access to the plugin's logger.
class PluginLogger {
public:
    /// The plugin's logger, or an empty pointer before the host called initLog; messages logged
    /// then are dropped.
    static std::shared_ptr<spdlog::logger> logger();
    /// True when the logger exists and takes messages at `level` (or keeps a backtrace): below the
    /// level a message costs this test and nothing else.
    static bool enabled(spdlog::level::level_enum level);
};

/// Logs through the plugin's logger with the source location of the call and the bare name of the
/// calling function. The message is a fmt format string; below the level nothing is done.
#define TRESTAN_PLUGIN_LOG(level, ...)                                                                       \
    do {                                                                                                     \
        if (::PluginLogger::enabled(level)) {                                                                \
            if (auto trestanPluginLogger_ = ::PluginLogger::logger()) {                                      \
                trestanPluginLogger_->log(                                                                   \
                    ::spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)}, level,     \
                    __VA_ARGS__);                                                                            \
            }                                                                                                \
        }                                                                                                    \
    } while (false)

#define TRESTAN_PLUGIN_DEBUG(...) TRESTAN_PLUGIN_LOG(::spdlog::level::debug, __VA_ARGS__)
#define TRESTAN_PLUGIN_INFO(...) TRESTAN_PLUGIN_LOG(::spdlog::level::info, __VA_ARGS__)

/// A debug message of a loop that runs per item (a tag, a field): `enabled` is the caller's answer of
/// PluginLogger::enabled(debug) taken once before the loop, so a loop of a million items with
/// debugging off costs a test of a local flag per message.
#define TRESTAN_PLUGIN_DEBUG_IF(enabled, ...)                                                                \
    do {                                                                                                     \
        if (enabled) {                                                                                       \
            TRESTAN_PLUGIN_DEBUG(__VA_ARGS__);                                                               \
        }                                                                                                    \
    } while (false)
