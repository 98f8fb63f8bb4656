#include "Bindings.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"

namespace trestan::python {

void setPublicModule(py::handle type) {
    type.attr("__module__") = "trestan";
}

void refuseConstruction(py::handle type) {
    const std::string name = "trestan." + type.attr("__name__").cast<std::string>();
    type.attr("__new__") = py::staticmethod(py::cpp_function(
        [name](const py::args&, const py::kwargs&) -> py::object {
            throw py::type_error("cannot create " + name + " objects; they come from trestan.open()");
        },
        py::name("__new__")));
}

std::string pathBytes(py::handle path) {
    const py::module_ os = py::module_::import("os");
    std::string bytes = os.attr("fsencode")(os.attr("fspath")(path)).cast<std::string>();
    if (bytes.find('\0') != std::string::npos) {
        throw py::value_error("embedded null byte");
    }
    return bytes;
}

} // namespace trestan::python

PYBIND11_MODULE(_trestan, module) {
    namespace py = pybind11;
    using namespace trestan::python;
    module.doc() = "Extension module of the trestan package: DM files as NumPy arrays and metadata trees.";

    // Translators registered later are tried first: the more special error comes last.
    static py::exception<velmora::Error> error(module, "Error", PyExc_ValueError);
    error.doc() = "A file that the reader refuses: damaged, or holding what it does not support. "
                  "The message is the reader's.";
    setPublicModule(error);
    static py::exception<trestan::UnsupportedFormat> unsupported(module, "UnsupportedFormat", error.ptr());
    unsupported.doc() = "No plugin reads files of this kind (a subclass of trestan.Error).";
    setPublicModule(unsupported);
    py::register_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) {
                std::rethrow_exception(pointer);
            }
        } catch (const trestan::UnsupportedFormat& exception) {
            unsupported(exception.what());
        } catch (const velmora::Error& exception) {
            error(exception.what());
        }
    });

    bindNode(module);
    bindFrame(module);
    bindFile(module);
    bindScan(module);
}
