#pragma once

#include "trestan/toolkit/PluginHost.h"

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace trestan::toolkit {

/// What a scan reports of one file: {"path", "size", "format", "frames": [{"index", "shape", "type",
/// "calibration", "thumbnail"}], "main", "metadata": {main keys of the main image}}, or
/// {"path", "size"?, "error"} when the file cannot be read.
/// Destroying one allocates nothing, even when memory has run out (nlohmann's own destructor does).
struct ScanRecord {
    nlohmann::ordered_json record;
    bool failed = false;

    ScanRecord() = default;
    ScanRecord(ScanRecord&& other) noexcept = default;
    ScanRecord& operator=(ScanRecord&& other) noexcept;
    ~ScanRecord();
};

/// `record` as one line of JSON (without the newline), as `trestan scan` prints it and trestan.scan()
/// reads it: JsonDocumentWriter's compact text, with the bytes of a string that are not valid UTF-8 (a
/// file name's, mostly) written as Python's surrogate escapes \udc80 to \udcff, so that os.fsencode()
/// of the string read back gives those bytes again.
std::string dumpScanRecord(const nlohmann::ordered_json& record);

/// The files that `paths` name: files as given, directories walked recursively for the files whose
/// extensions (any case) the registered formats claim (FormatRegistry), and glob patterns expanded. A path
/// that names nothing, and a folder that cannot be listed, are kept as they are, so that scanning them
/// reports the failure.
std::vector<std::string> expandScanPaths(const std::vector<std::string>& paths);

/// The record of one file, from the index of its format (no pixel is read) or, for a format that
/// registered none, from its plugin's open. A frame that the file ends inside is marked
/// "truncated": true, with its "bytes" and the "bytesInFile". Never throws for what the file holds:
/// failures become the "error" field.
ScanRecord scanFile(PluginHost& host, const std::string& path);

/// Worker threads per core at most: more only multiply the threads' stacks and memory arenas.
inline constexpr std::size_t MaximumWorkersPerCore = 4;

/// The threads that scanFiles starts for `jobs` (0: one per core) and `fileCount` files: at least
/// one, at most MaximumWorkersPerCore per core and one per file.
std::size_t scanWorkers(std::size_t jobs, std::size_t fileCount);

/// The threads a scan ran on.
struct ScanThreads {
    std::size_t wanted = 0;  ///< scanWorkers(jobs, files)
    std::size_t started = 0; ///< fewer when the system refused one; 0: the calling thread read the files
    std::string failure;     ///< the system's reason when started < wanted
};

/// Scans `files` on scanWorkers(jobs, files.size()) threads and hands each record to `consume` on
/// the calling thread, in file order, as soon as it and all before it are ready. `consume` runs while
/// the other files are still being read. A thread that cannot be started leaves the files to those
/// that did (or to the calling thread); a file whose scan fails for want of memory gets a record
/// with the error "out of memory". Exceptions of `consume` stop the workers and leave the function.
ScanThreads scanFiles(PluginHost& host, const std::vector<std::string>& files, std::size_t jobs,
                      const std::function<void(std::size_t index, ScanRecord&& record)>& consume);

} // namespace trestan::toolkit
