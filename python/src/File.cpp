#include "Bindings.h"
#include "Frame.h"
#include "Node.h"
#include "OpenFile.h"
#include "trestan/PluginVersion.h"
#include "trestan/UnsupportedFormat.h"
#include "trestan/toolkit/FormatRegistry.h"
#include "trestan/toolkit/PluginHost.h"
#include "velmora/Error.h"

#include <cerrno>
#include <cstdint>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
toolkit::PluginHost& pluginHost() {
    static toolkit::PluginHost* host = [] {
        auto* created = new toolkit::PluginHost(pluginDirectories(), velmora::LogLevel::Warning);
        created->registry();
        return created;
    }();
    return *host;
}

namespace {

/// Raises the OSError that the system gives for `error` on `path` (FileNotFoundError,
/// PermissionError, IsADirectoryError, ...), so that these are told apart from files the reader
/// refuses.
[[noreturn]] void raiseSystemError(int error, py::handle pathObject) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, pathObject.ptr());
    throw py::error_already_set();
}

/// Opens `path` for reading: without blocking, so that a FIFO is refused instead of waited on, then
/// in blocking mode again once it is known to be a regular file. Returns the descriptor and its
/// status, or sets `error` (errno) or `regular` to false.
int openRegular(const std::string& path, struct stat& status, int& error, bool& regular) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::fstat(fd, &status) != 0) {
        error = errno;
    } else if (S_ISDIR(status.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(status.st_mode)) {
        regular = false;
    } else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            error = errno;
        }
    }
    if (error != 0 || !regular) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// The index of the file that `file.fd` holds, even where the path now names another: read through
/// /proc/self/fd. Where /proc is not mounted, through the path, which must then still name the
/// file the descriptor holds (`status`).
toolkit::FileIndex indexOf(const OpenFile& file, const std::string& path, const struct stat& status) {
    const std::string held = "/proc/self/fd/" + std::to_string(file.fd);
    if (::access(held.c_str(), R_OK) == 0) {
        return file.support->index(held);
    }
    toolkit::FileIndex index = file.support->index(path);
    struct stat now {};
    if (::stat(path.c_str(), &now) != 0 || now.st_ino != status.st_ino || now.st_dev != status.st_dev) {
        throw velmora::Error("the file was replaced while it was opened");
    }
    return index;
}

/// The refusal of a path whose extension no format claims, as the plugin host words it.
[[noreturn]] void refuseFormat(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension.empty() || extension == ".") {
        throw UnsupportedFormat("no plugin reads files without an extension");
    }
    throw UnsupportedFormat("no plugin reads '" + extension + "' files");
}

/// A file opened with trestan.open(): its index (tags, frames and where their bytes lie), read
/// without a pixel, and the open descriptor that the frames read their bytes from.
///
/// Python threads may call close() while another thread is inside a method: a read runs without
/// the GIL, and any Python code a method calls lets other threads run. So each method (and each
/// read of a Frame, which shares the File's resource) holds a lease on the open file for as long as
/// it uses it, and close() waits for the leases in flight (with the GIL released) before the
/// descriptor is closed: a read never meets a descriptor closed and reused for another file.
class File {
public:
    File(std::string path, py::object pathObject)
        : m_path(std::move(path)), m_pathObject(std::move(pathObject)),
          m_file(std::make_shared<toolkit::ClosableResource<OpenFile>>()) {
        auto file = std::make_shared<OpenFile>();
        int error = 0;
        bool regular = true;
        struct stat status {};
        {
            py::gil_scoped_release release;
            file->fd = openRegular(m_path, status, error, regular);
        }
        if (error != 0) {
            raiseSystemError(error, m_pathObject);
        }
        if (!regular) {
            throw velmora::Error("not a regular file");
        }
        m_identity = py::make_tuple(status.st_size,
                                    std::int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec,
                                    status.st_ino, status.st_dev);
        file->support = toolkit::FormatRegistry::instance().forPath(m_path);
        if (file->support == nullptr) {
            refuseFormat(m_path);
        }
        {
            py::gil_scoped_release release;
            try {
                file->index = indexOf(*file, m_path, status);
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
        m_format = file->index.format;
        for (const toolkit::IndexedFrame& frame : file->index.frames) {
            m_frames.append(Frame(m_file, frame));
        }
        m_file->reset(std::move(file));
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const std::string& format() const { return m_format; }
    const py::object& path() const { return m_pathObject; }
    const py::tuple& identity() const { return m_identity; }
    bool closed() const { return m_file->closed(); }

    /// The plugin that reads files of this format, from the plugin registry (the file is not
    /// opened through it); None when no plugin of the format is installed.
    py::object plugin(bool version) const {
        const ExtractorPlugin* plugin = pluginHost().registry().findByFormat(m_format);
        if (plugin == nullptr) {
            return py::none();
        }
        return py::str(version ? plugin->version().toString() : plugin->name());
    }

    std::size_t size() {
        const FileLease file = leaseOf(m_file);
        return m_frames.size();
    }

    py::list frames() {
        const FileLease file = leaseOf(m_file);
        return py::list(m_frames);
    }

    Node metadata() {
        const FileLease file = leaseOf(m_file);
        if (!file->index.metadata) {
            throw velmora::Error("the file has no metadata tree");
        }
        return Node(file->index.metadata);
    }

    py::object mainFrame() {
        const FileLease file = leaseOf(m_file);
        const toolkit::FrameRoles roles = file->support->frameRoles(file->index);
        return roles.main ? py::object(py::int_(*roles.main)) : py::none();
    }

    /// (frame, number of frame axes, frame axis of each array axis, mapped metadata) per image that
    /// is not a thumbnail.
    py::list signals() {
        const FileLease file = leaseOf(m_file);
        std::vector<toolkit::MappedImage> images;
        {
            py::gil_scoped_release release;
            images = file->support->mapImages(file->index);
        }
        const py::object loads = py::module_::import("json").attr("loads");
        py::list result;
        for (const toolkit::MappedImage& image : images) {
            py::tuple frameAxes(image.frameAxes.size());
            for (std::size_t i = 0; i < image.frameAxes.size(); ++i) {
                frameAxes[i] = py::int_(image.frameAxes[i]);
            }
            result.append(py::make_tuple(
                image.frame, file->index.frames.at(image.frame).shape.size(), frameAxes,
                loads(image.json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))));
        }
        return result;
    }

    void close() {
        {
            py::gil_scoped_release release;
            m_file->close();
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
    std::string m_path;
    py::object m_pathObject;
    std::string m_format;
    py::tuple m_identity;
    SharedFile m_file;
    py::list m_frames;
};

} // namespace

void bindFile(py::module_& module) {
    py::class_<File, std::unique_ptr<File>> file(module, "File", R"(A file opened with trestan.open().

    file.frames        the images, in file order (list of Frame); len(file) counts them
    file.metadata      the root of the metadata tree (Node)
    file.format        the file format ("DM")
    file.plugin        the plugin that reads such files ("GatanPlugin") and file.plugin_version

Opening reads the tags only. The file stays open until close() (or the end of a `with` block):
its frames read their pixels from it when asked, from the file that was opened even if another
has since been put in its place. close() waits for reads of other threads in flight; after it,
reads of the file's frames raise ValueError. Arrays already read stay valid.
)");
    setPublicModule(file);
    refuseConstruction(file);
    file.def_property_readonly("format", &File::format, "Format name, as the plugins call it (\"DM\").")
        .def_property_readonly(
            "plugin", [](const File& self) { return self.plugin(false); },
            "Name of the plugin that reads files of this format (None when none is installed).")
        .def_property_readonly(
            "plugin_version", [](const File& self) { return self.plugin(true); },
            "Version of that plugin (str; None when none is installed).")
        .def_property_readonly("path", &File::path, "The path given to open().")
        .def_property_readonly("closed", &File::closed, "Whether close() has been called.")
        .def_property_readonly("frames", &File::frames, "The frames, in file order (list of Frame).")
        .def_property_readonly("metadata", &File::metadata, "The root node of the metadata tree (Node).")
        .def_property_readonly("main_frame", &File::mainFrame,
                               "Index of the main image of a DM file: the first frame that the file "
                               "does not list as a thumbnail (None when there is none).")
        .def_property_readonly("_identity", &File::identity,
                               "(st_size, st_mtime_ns, st_ino, st_dev) of the file when it was opened.")
        .def("_signals", &File::signals,
             "Per image that is not a thumbnail: (frame, number of frame axes, frame axis of each "
             "array axis, mapped metadata as a dict). Use trestan.load().")
        .def("__len__", &File::size, "Number of frames.")
        .def("close", &File::close,
             "Closes the file once reads of other threads that use it (through the File or its "
             "frames) have finished; later calls and reads raise ValueError. Arrays and Node objects "
             "taken from it stay valid.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](File& self, const py::args&) { self.close(); })
        .def("__repr__", &File::repr);

    module.def(
        "open",
        [](py::object path) {
            py::object fspath = py::module_::import("os").attr("fspath")(path);
            return std::make_unique<File>(pathBytes(fspath), fspath);
        },
        py::arg("path"),
        R"(Opens a file and reads its tags and where its frames' pixels lie; no pixel is read.

`path` is a str, bytes or os.PathLike. The format is chosen by the file's extension (.dm3 and
.dm4 for DM files). The file stays open for the frames' reads until close(); use it as a context
manager:

    with trestan.open("image.dm4") as f:
        pixels = f.frames[1].asarray()          # read now, a new writable array
        print(f.metadata["GATAN/ImageList/item001/ImageData/Calibrations"].to_dict())

Raises FileNotFoundError, PermissionError or IsADirectoryError as the system reports them,
ValueError for a path holding a NUL byte, trestan.UnsupportedFormat when no format of this
kind is known, and trestan.Error (a ValueError) with the reader's message when the file is
damaged, holds what the reader does not support, or is not a regular file (a FIFO or a device is
refused at once, never waited on). The GIL is released while the file is read, so threads can
open files in parallel.
)");
}

} // namespace trestan::python
