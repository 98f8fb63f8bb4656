#pragma once

#include <string>

namespace trestan::cli {

/// An output file written beside its target and moved over it only once it is complete, so that a
/// write that fails midway (a full disk, a lost network mount) leaves the target as it was and no
/// partial file behind. A target that exists and is not a regular file (a device, a pipe) is written
/// in place; a symbolic link to a regular file is kept, and the file it names is replaced.
/// SIGINT, SIGTERM or SIGHUP while the temporary file exists removes it before the signal ends the
/// process (one staged output at a time is looked after).
class StagedOutput {
public:
    /// Creates the temporary file in the target's folder, with the permission bits the target has
    /// less set-user-ID, set-group-ID and sticky (or those of a new file). Throws OutputError naming the
    /// target when it cannot be created.
    explicit StagedOutput(std::string target);
    /// Removes the temporary file unless commit() moved it into place.
    ~StagedOutput();
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    /// Where the writer writes: the temporary file, or the target when it is written in place.
    const std::string& path() const { return m_path; }

    /// Flushes the written file to storage and renames it over the target. Throws OutputError
    /// naming the target; the temporary file is then still removed by the destructor.
    void commit();

private:
    /// The signal handler no longer removes the temporary file.
    void unpublish();

    std::string m_target;      ///< as given, for messages
    std::string m_destination; ///< the file replaced: the target, or the file a link to it names
    std::string m_path;
    bool m_staged = false;
    bool m_committed = false;
};

} // namespace trestan::cli
