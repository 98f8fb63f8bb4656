#pragma once

#include "PluginHost.h"

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace trestan::app {

/// What a scan reports of one file: {"path", "size", "format", "frames": [{"index", "shape", "type",
/// "calibration", "thumbnail"}], "main", "metadata": {main keys of the main image}}, or
/// {"path", "size"?, "error"} when the file cannot be read.
struct ScanRecord {
    nlohmann::ordered_json record;
    bool failed = false;
};

/// The files that `paths` name: files as given, directories walked recursively for .dm3 and .dm4
/// files (any case), and glob patterns expanded. A path that names nothing, and a folder that cannot
/// be listed, are kept as they are, so that scanning them reports the failure.
std::vector<std::string> expandScanPaths(const std::vector<std::string>& paths);

/// The record of one file. Never throws for what the file holds: failures become the "error" field.
ScanRecord scanFile(PluginHost& host, const std::string& path);

/// Scans `files` on `jobs` threads (0: the number of cores) and hands each record to `consume` on the
/// calling thread, in file order, as soon as it and all before it are ready. `consume` runs while
/// the other files are still being read.
void scanFiles(PluginHost& host, const std::vector<std::string>& files, std::size_t jobs,
               const std::function<void(std::size_t index, ScanRecord&& record)>& consume);

} // namespace trestan::app
