#include "StagedOutput.h"

#include "CommandLineError.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace trestan::cli {

namespace {

std::string systemReason() {
    return std::strerror(errno);
}

// Permissions of a file created now: what open() with 0666 would give under the current umask.
mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

StagedOutput::StagedOutput(std::string target) : m_target(std::move(target)) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    const fs::file_status status = fs::status(m_target, ignored);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        m_path = m_target;
        return;
    }
    fs::path destination(m_target);
    if (fs::is_symlink(fs::symlink_status(destination, ignored))) {
        if (!fs::exists(status)) {
            // A link to nothing yet: writing through it creates the file it names, as before.
            m_path = m_target;
            return;
        }
        std::error_code error;
        destination = fs::canonical(destination, error);
        if (error) {
            m_path = m_target;
            return;
        }
    }
    m_destination = destination.string();

    const fs::path folder = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
    // Built by appending: GCC 12 at -O3 sees a false overlap in "." + name (-Wrestrict).
    std::string hidden = ".";
    hidden += destination.filename().native();
    hidden += ".partial-XXXXXX";
    std::string pattern = (folder / hidden).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int descriptor = ::mkstemp(name.data());
    if (descriptor < 0) {
        throw OutputError(m_target, "cannot create the file: " + systemReason());
    }
    m_path = name.data();
    m_staged = true;
    // The replacement keeps the read, write and execute bits of the file it replaces, but not its
    // set-user-ID, set-group-ID or sticky bits: a file of new content is not a program someone
    // granted privileges to.
    struct stat existing {};
    const mode_t mode =
        ::stat(m_destination.c_str(), &existing) == 0 ? existing.st_mode & 0777 : newFileMode();
    const bool modeSet = ::fchmod(descriptor, mode) == 0;
    const std::string reason = systemReason();
    ::close(descriptor);
    if (!modeSet) {
        throw OutputError(m_target, "cannot create the file: " + reason);
    }
}

StagedOutput::~StagedOutput() {
    if (m_staged && !m_committed) {
        std::remove(m_path.c_str());
    }
}

void StagedOutput::commit() {
    if (!m_staged) {
        m_committed = true;
        return;
    }
    // Some file systems (network mounts among them) report a failed write only when the data
    // reaches storage.
    const int descriptor = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0 || ::fsync(descriptor) != 0) {
        const std::string reason = systemReason();
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        throw OutputError(m_target, "cannot write the file: " + reason);
    }
    ::close(descriptor);
    if (std::rename(m_path.c_str(), m_destination.c_str()) != 0) {
        throw OutputError(m_target, "cannot replace the file: " + systemReason());
    }
    m_committed = true;
}

} // namespace trestan::cli
