#include "StagedOutput.h"

#include "CommandLineError.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
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

// The staged file that a signal ending the process removes first, while one exists. A pointer
// into the StagedOutput's own path: the handler only reads it.
std::atomic<const char*> g_stagedPath{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "the signal handler reads it");

constexpr int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Async-signal-safe: removes the staged file, then ends the process by the same signal with its
// default action, so that the caller sees what stopped it (a shell reports 128 + the signal).
extern "C" void removeStagedFileAndEnd(int signal) {
    if (const char* path = g_stagedPath.load()) {
        ::unlink(path);
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    ::raise(signal); // delivered when the handler returns: the signal is blocked until then
}

// Installs the handler for the signals that end the process, once; a signal the process was
// started ignoring (SIGHUP under nohup) stays ignored.
void handleEndingSignals() {
    static const bool installed = [] {
        for (int signal : EndingSignals) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
                continue;
            }
            struct sigaction action {};
            action.sa_handler = removeStagedFileAndEnd;
            ::sigemptyset(&action.sa_mask);
            ::sigaction(signal, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

// Blocks the ending signals for its lifetime: the staged file is created and published as one step.
class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() {
        sigset_t blocked;
        ::sigemptyset(&blocked);
        for (int signal : EndingSignals) {
            ::sigaddset(&blocked, signal);
        }
        ::pthread_sigmask(SIG_BLOCK, &blocked, &m_previous);
    }
    ~EndingSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
    EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;

private:
    sigset_t m_previous;
};

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
    handleEndingSignals();
    int descriptor = -1;
    {
        const EndingSignalsBlocked blocked;
        descriptor = ::mkstemp(name.data());
        if (descriptor < 0) {
            throw OutputError(m_target, "cannot create the file: " + systemReason());
        }
        m_path = name.data();
        m_staged = true;
        g_stagedPath = m_path.c_str();
    }
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
        // The destructor does not run for a constructor that throws.
        std::remove(m_path.c_str());
        unpublish();
        throw OutputError(m_target, "cannot create the file: " + reason);
    }
}

StagedOutput::~StagedOutput() {
    if (m_staged && !m_committed) {
        std::remove(m_path.c_str());
    }
    unpublish();
}

void StagedOutput::unpublish() {
    const char* mine = m_path.c_str();
    g_stagedPath.compare_exchange_strong(mine, nullptr);
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
    unpublish();
}

} // namespace trestan::cli
