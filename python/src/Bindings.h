#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace trestan::app {
class PluginHost;
}

namespace trestan::python {

namespace py = pybind11;

/// Gives a class defined by the extension module the module name users import, so that help() and
/// repr() say trestan.Frame rather than trestan._trestan.Frame.
void setPublicModule(py::handle type);

/// The plugin host of the process, scanned on first use (with the GIL held, so only once).
app::PluginHost& pluginHost();

/// Marks an array read-only.
void setReadOnly(py::array& array);

void bindNode(py::module_& module);
void bindFrame(py::module_& module);
void bindFile(py::module_& module);
void bindScan(py::module_& module);

} // namespace trestan::python
