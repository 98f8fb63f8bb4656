#include "Bindings.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"

namespace trestan::python {

void setPublicModule(py::handle type) {
    type.attr("__module__") = "trestan";
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
