#pragma once

#include <memory>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

/// Records what a named spdlog logger writes while the capture lives, one line per message as
/// "function level message" (for example `parseTag3 debug Parsing tag "A"`), whatever the logger's
/// own sinks do with them. The logger must exist when the capture is made. Meant for the test thread
/// while nothing else logs.
class LogCapture {
public:
    explicit LogCapture(const std::string& loggerName = "GatanPlugin") : m_logger(spdlog::get(loggerName)) {
        if (!m_logger) {
            throw std::logic_error("no spdlog logger named " + loggerName);
        }
        m_sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(m_stream);
        m_sink->set_pattern("%! %l %v");
        m_sink->set_level(spdlog::level::trace);
        m_logger->sinks().push_back(m_sink);
    }

    ~LogCapture() {
        auto& sinks = m_logger->sinks();
        std::erase(sinks, std::static_pointer_cast<spdlog::sinks::sink>(m_sink));
    }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// The lines written so far, without line ends.
    std::vector<std::string> lines() const {
        m_logger->flush();
        std::vector<std::string> result;
        std::istringstream in(m_stream.str());
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }

private:
    std::shared_ptr<spdlog::logger> m_logger;
    std::ostringstream m_stream;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> m_sink;
};

} // namespace testsupport
