#include "Bindings.h"
#include "ClosableResource.h"
#include "Frame.h"
#include "Node.h"
#include "PluginHost.h"
#include "trestan/PluginVersion.h"
#include "trestan/UnsupportedFormat.h"
#include "trestan/gatan/DmMetadata.h"
#include "velmora/Error.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace trestan::python {

namespace {

/// Plugin directories: those of TRESTAN_PLUGIN_PATH, then the plugin directory of the build tree or
/// of the install tree, found from where this module lies (TRESTAN_PYTHON_PLUGIN_DIRS holds both,
/// relative to the package directory, ':'-separated).
std::vector<std::string> pluginDirectories() {
    std::vector<std::string> directories = PluginRegistry::defaultDirectories("");
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&pluginDirectories), &info) == 0 || info.dli_fname == nullptr) {
        return directories;
    }
    const std::filesystem::path package = std::filesystem::path(info.dli_fname).parent_path();
    const std::string relative = TRESTAN_PYTHON_PLUGIN_DIRS;
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t end = std::min(relative.find(':', start), relative.size());
        if (end > start) {
            directories.push_back(
                (package / relative.substr(start, end - start)).lexically_normal().string());
        }
        start = end + 1;
    }
    return directories;
}

} // namespace

/// Never destroyed: frames that Python objects still hold at exit run code of the plugin libraries,
/// which must therefore stay loaded.
app::PluginHost& pluginHost() {
    static app::PluginHost* host = [] {
        auto* created = new app::PluginHost(pluginDirectories(), velmora::LogLevel::Warning);
        created->registry();
        return created;
    }();
    return *host;
}

namespace {

/// Raises the OSError that the system gives for reading `path` (FileNotFoundError, PermissionError,
/// IsADirectoryError, ...), so that these are told apart from files the reader refuses, and refuses
/// what is not a regular file. The file is opened without blocking (a FIFO would wait for a writer)
/// and with the GIL released, since a slow or hung file system may still block.
void checkReadable(const std::string& path, py::handle pathObject) {
    int error = 0;
    bool regular = true;
    {
        py::gil_scoped_release release;
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        error = descriptor < 0 ? errno : 0;
        if (descriptor >= 0) {
            struct stat status {};
            if (::fstat(descriptor, &status) != 0) {
                error = errno;
            } else if (S_ISDIR(status.st_mode)) {
                error = EISDIR;
            } else {
                regular = S_ISREG(status.st_mode);
            }
            ::close(descriptor);
        }
    }
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, pathObject.ptr());
        throw py::error_already_set();
    }
    if (!regular) {
        throw velmora::Error("not a regular file");
    }
}

/// An open DM (or other) file: its frames and its metadata tree.
///
/// Python threads may call close() while another thread is inside a method: a method runs without
/// the GIL while it reads, and any Python code it calls (json.loads, say) lets other threads run. So
/// each method holds a lease on the view for as long as it uses it, and close() waits for the leases
/// in flight (with the GIL released) before it lets the view go.
class File {
public:
    using Lease = app::ClosableResource<velmora::MultiImageView>::Lease;

    File(std::string path, py::object pathObject)
        : m_path(std::move(path)), m_pathObject(std::move(pathObject)) {
        checkReadable(m_path, m_pathObject);
        app::PluginHost& host = pluginHost();
        app::OpenedFile opened;
        {
            py::gil_scoped_release release;
            try {
                opened = host.open(m_path);
            } catch (const velmora::Error&) {
                throw;
            } catch (const std::bad_alloc&) {
                throw;
            } catch (const std::exception& error) {
                // The reader reports a few damaged files with standard exceptions (a length error
                // for a negative count); to Python these are damaged files like the others.
                throw velmora::Error(error.what());
            }
        }
        m_format = opened.format;
        m_plugin = opened.plugin->name();
        m_pluginVersion = opened.plugin->version().toString();
        const std::size_t count = opened.view->frameCount();
        for (std::size_t index = 0; index < count; ++index) {
            m_frames.append(Frame(opened.view->frame(index), index));
        }
        m_view.reset(std::move(opened.view));
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const std::string& format() const { return m_format; }
    const std::string& plugin() const { return m_plugin; }
    const std::string& pluginVersion() const { return m_pluginVersion; }
    const py::object& path() const { return m_pathObject; }
    bool closed() const { return m_view.closed(); }

    std::size_t size() {
        const Lease view = lease();
        return m_frames.size();
    }

    py::list frames() {
        const Lease view = lease();
        return py::list(m_frames);
    }

    Node metadata() {
        const Lease view = lease();
        std::shared_ptr<velmora::MetadataNode> root = view->metadata();
        if (!root) {
            throw velmora::Error("the file has no metadata tree");
        }
        return Node(std::move(root));
    }

    py::object mainFrame() {
        const Lease view = lease();
        const std::shared_ptr<velmora::MetadataNode> root = dmRoot(*view);
        const gatan::FrameRoles roles = gatan::frameRoles(*root, view->frameCount());
        return roles.main ? py::object(py::int_(*roles.main)) : py::none();
    }

    /// (frame, number of frame axes, frame axis of each array axis, mapped metadata) per image that
    /// is not a thumbnail.
    py::list signals() {
        const Lease view = lease();
        dmRoot(*view);
        const py::object loads = py::module_::import("json").attr("loads");
        py::list result;
        for (const gatan::MappedSignal& signal : gatan::mapSignals(*view)) {
            py::tuple frameAxes(signal.frameAxes.size());
            for (std::size_t i = 0; i < signal.frameAxes.size(); ++i) {
                frameAxes[i] = py::int_(signal.frameAxes[i]);
            }
            result.append(py::make_tuple(
                signal.frame, view->frame(signal.frame)->shape().size(), frameAxes,
                loads(signal.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))));
        }
        return result;
    }

    void close() {
        {
            py::gil_scoped_release release;
            m_view.close();
        }
        // No lease is out any more, so no call sees the frames go.
        m_frames = py::list();
    }

    std::string repr() const {
        const std::string path = py::repr(m_pathObject).cast<std::string>();
        if (closed()) {
            return "<trestan.File " + path + ", closed>";
        }
        return "<trestan.File " + path + " " + m_format + ", " + std::to_string(m_frames.size()) + " frames>";
    }

private:
    Lease lease() {
        std::optional<Lease> view = m_view.acquire();
        if (!view) {
            throw py::value_error("I/O operation on closed file");
        }
        return std::move(*view);
    }

    /// The mapping of DM tags to microscopy metadata only knows DM trees.
    std::shared_ptr<velmora::MetadataNode> dmRoot(const velmora::MultiImageView& view) const {
        std::shared_ptr<velmora::MetadataNode> root = view.metadata();
        if (m_format != "DM" || !root) {
            throw velmora::Error("microscopy metadata is mapped from DM files only, not from " + m_format);
        }
        return root;
    }

    std::string m_path;
    py::object m_pathObject;
    std::string m_format;
    std::string m_plugin;
    std::string m_pluginVersion;
    app::ClosableResource<velmora::MultiImageView> m_view;
    py::list m_frames;
};

} // namespace

void bindFile(py::module_& module) {
    py::class_<File, std::unique_ptr<File>> file(module, "File", R"(A file opened with trestan.open().

    file.frames        the images, in file order (list of Frame); len(file) counts them
    file.metadata      the root of the metadata tree (Node)
    file.format        the file format ("DM")
    file.plugin        the plugin that read it ("GatanPlugin") and file.plugin_version

All pixels are read into memory when the file is opened; the file itself is not kept open.
close() (or leaving a `with` block) lets go of that memory once no array or Frame of the file is
still held elsewhere.
)");
    setPublicModule(file);
    refuseConstruction(file);
    file.def_property_readonly("format", &File::format, "Format name, as the plugin calls it (\"DM\").")
        .def_property_readonly("plugin", &File::plugin, "Name of the plugin that read the file.")
        .def_property_readonly("plugin_version", &File::pluginVersion, "Version of that plugin (str).")
        .def_property_readonly("path", &File::path, "The path given to open().")
        .def_property_readonly("closed", &File::closed, "Whether close() has been called.")
        .def_property_readonly("frames", &File::frames, "The frames, in file order (list of Frame).")
        .def_property_readonly("metadata", &File::metadata, "The root node of the metadata tree (Node).")
        .def_property_readonly("main_frame", &File::mainFrame,
                               "Index of the main image of a DM file: the first frame that the file "
                               "does not list as a thumbnail (None when there is none).")
        .def("_signals", &File::signals,
             "Per image that is not a thumbnail: (frame, number of frame axes, frame axis of each "
             "array axis, mapped metadata as a dict). Use trestan.load().")
        .def("__len__", &File::size, "Number of frames.")
        .def("close", &File::close,
             "Lets go of the file's frames and tree, once calls of other threads that use the file "
             "have finished; later calls raise ValueError. Arrays, Frame and Node objects taken from "
             "it stay valid and keep what they need alive.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](File& self, const py::args&) { self.close(); })
        .def("__repr__", &File::repr);

    module.def(
        "open",
        [](py::object path) {
            py::object fspath = py::module_::import("os").attr("fspath")(path);
            return std::make_unique<File>(pathBytes(fspath), fspath);
        },
        py::arg("path"), R"(Opens a file and reads all its frames and its metadata into memory.

`path` is a str, bytes or os.PathLike. The plugin is chosen by the file's extension (.dm3 and
.dm4 for the Gatan plugin). The file can be used as a context manager:

    with trestan.open("image.dm4") as f:
        pixels = f.frames[1].asarray()
        print(f.metadata["GATAN/ImageList/item001/ImageData/Calibrations"].to_dict())

Raises FileNotFoundError, PermissionError or IsADirectoryError as the system reports them,
ValueError for a path holding a NUL byte, trestan.UnsupportedFormat when no plugin reads files of
this kind, and trestan.Error (a ValueError) with the reader's message when the file is damaged,
holds what the reader does not support, or is not a regular file (a FIFO or a device is refused at
once, never waited on). The GIL is released while the file is read, so threads can open files in
parallel.
)");
}

} // namespace trestan::python
