#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string>

namespace trestan::toolkit {
class PluginHost;
}

namespace trestan::python {

namespace py = pybind11;

/// Gives a class defined by the extension module the module name users import, so that help() and
/// repr() say trestan.Frame rather than trestan._trestan.Frame.
void setPublicModule(py::handle type);

/// Makes `type` one that only the module creates: Type.__new__(Type) raises TypeError instead of
/// making an object without its C++ part.
void refuseConstruction(py::handle type);

/// The bytes of a path argument (str, bytes or os.PathLike), as os.fsencode() gives them; ValueError
/// for a path holding a NUL byte, which the system would take as its end.
std::string pathBytes(py::handle path);

/// The plugin host of the process, scanned on first use (with the GIL held, so only once).
toolkit::PluginHost& pluginHost();

/// Marks an array read-only.
void setReadOnly(py::array& array);

void bindNode(py::module_& module);
void bindFrame(py::module_& module);
void bindFile(py::module_& module);
void bindScan(py::module_& module);

} // namespace trestan::python
