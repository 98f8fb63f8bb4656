#include "Bindings.h"
#include "trestan/toolkit/FileScan.h"

#include <pybind11/stl.h>
#include <string>
#include <vector>

namespace trestan::python {

void bindScan(py::module_& module) {
    module.def(
        "_scan",
        [](const py::iterable& pathObjects, std::size_t workers) {
            std::vector<std::string> paths;
            for (py::handle path : pathObjects) {
                paths.push_back(pathBytes(path));
            }
            const std::vector<std::string> files = toolkit::expandScanPaths(paths);
            std::vector<std::string> lines(files.size());
            {
                py::gil_scoped_release release;
                toolkit::scanFiles(pluginHost(), files, workers,
                                   [&](std::size_t index, toolkit::ScanRecord&& result) {
                                       lines[index] = toolkit::dumpScanRecord(result.record);
                                   });
            }
            // The records become Python objects through the JSON text the command prints, so both
            // give the same values; names that are not UTF-8 come back as surrogate escapes.
            const py::object loads = py::module_::import("json").attr("loads");
            py::list records;
            for (const std::string& line : lines) {
                records.append(loads(line));
            }
            return records;
        },
        py::arg("paths"), py::arg("workers"),
        "The records of `trestan scan` for the files that `paths` (str, bytes or os.PathLike) name, read on "
        "`workers` threads "
        "(0: one per core) with the GIL released. Use trestan.scan().");
}

} // namespace trestan::python
