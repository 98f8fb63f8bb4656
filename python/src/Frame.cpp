#include "Frame.h"

#include "trestan/toolkit/FreshMemory.h"
#include "trestan/toolkit/ImageNames.h"
#include "trestan/toolkit/MemoryHeadroom.h"
#include "velmora/Error.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace trestan::python {

namespace {

/// NumPy's element type for the components of `type`, and the length of the trailing axis that
/// holds the components of a multi-component element (0 for one component or a complex number).
std::pair<py::dtype, std::size_t> numpyType(velmora::DataType type) {
    const std::uint32_t bits = type.bitsPerComponent();
    const velmora::PrimitiveKind kind = type.kind();
    if (type.isValid() && type.isComplex() && kind == velmora::PrimitiveKind::FloatingPoint) {
        if (bits == 32) {
            return {py::dtype("complex64"), 0};
        }
        if (bits == 64) {
            return {py::dtype("complex128"), 0};
        }
    }
    if (type.isValid() && !type.isComplex() && (bits == 8 || bits == 16 || bits == 32 || bits == 64)) {
        const std::string size = std::to_string(bits);
        const std::size_t components = type.components() > 1 ? type.components() : 0;
        switch (kind) {
        case velmora::PrimitiveKind::UnsignedInteger:
            return {py::dtype("uint" + size), components};
        case velmora::PrimitiveKind::SignedInteger:
            return {py::dtype("int" + size), components};
        case velmora::PrimitiveKind::FloatingPoint:
            if (bits != 8) {
                return {py::dtype("float" + size), components};
            }
            break;
        case velmora::PrimitiveKind::Unknown:
            break;
        }
    }
    throw velmora::Error("frame data type " + type.name() + " has no NumPy equivalent");
}

py::tuple toTuple(const std::vector<std::size_t>& values) {
    py::tuple tuple(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        tuple[i] = py::int_(values[i]);
    }
    return tuple;
}

template <std::size_t N> py::tuple toTuple(const velmora::Vector<double, N>& vector) {
    py::tuple tuple(N);
    for (std::size_t i = 0; i < N; ++i) {
        tuple[i] = py::float_(vector[i]);
    }
    return tuple;
}

/// The frame's spatial calibration, axis 0 (the last NumPy axis) first.
struct Calibration {
    py::tuple origin;
    py::tuple scale;
    std::string unit;
};

/// Arrays of at least this many bytes are first compared with the memory the process can take.
constexpr std::size_t CheckedAllocation = std::size_t{64} << 20;
/// Blocks of at least this many bytes are read one by one when a step skips some of them.
constexpr std::size_t LargeBlock = 4096;

/// `bytes` of fresh memory (FreshMemory: huge pages for large blocks) and the capsule that owns it.
std::pair<std::uint8_t*, py::capsule> allocate(std::size_t bytes, std::size_t frame) {
    // A large array that the process cannot take is refused with MemoryError before a page is
    // touched, rather than letting the system end the process for lack of memory.
    if (bytes >= CheckedAllocation) {
        if (const std::optional<toolkit::MemoryHeadroom> headroom = toolkit::MemoryHeadroom::now();
            headroom && bytes > headroom->bytes) {
            PyErr_SetString(PyExc_MemoryError,
                            ("frame " + std::to_string(frame) + " needs " + std::to_string(bytes) +
                             " bytes; there are " + std::to_string(headroom->bytes) + " " + headroom->bound)
                                .c_str());
            throw py::error_already_set();
        }
    }
    // NumPy lets the memory go through the capsule that is the array's base.
    auto allocation = std::make_unique<toolkit::FreshMemory>(bytes);
    std::uint8_t* data = allocation->data();
    py::capsule owner(allocation.get(),
                      [](void* pointer) { delete static_cast<toolkit::FreshMemory*>(pointer); });
    allocation.release();
    return {data, std::move(owner)};
}

/// Reads of at least this many bytes are split between threads.
constexpr std::uint64_t ParallelRead = std::uint64_t{64} << 20;
constexpr unsigned MaximumReaders = 4;

/// Reads `count` bytes of `frame` from byte `first` on into `destination`. A large read is split
/// into parts (whole huge pages) read by several threads at once: moving the bytes out of the page
/// cache and faulting in the memory they land in both take processor time. A thread that cannot be
/// started leaves its part to this one.
void readBytes(const OpenFile& file, const toolkit::IndexedFrame& frame, std::uint64_t first,
               std::uint64_t count, std::uint8_t* destination) {
    if (count < ParallelRead) {
        file.support->readFrameBytes(file.fd, frame, first, count, destination);
        return;
    }
    static const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    const auto readers = static_cast<unsigned>(std::min<std::uint64_t>(
        {cores, MaximumReaders, std::max<std::uint64_t>(1, count / (ParallelRead / 2))}));
    if (readers < 2) {
        file.support->readFrameBytes(file.fd, frame, first, count, destination);
        return;
    }
    const std::uint64_t part = ((count / readers) + toolkit::FreshMemory::HugePageSize - 1) &
                               ~std::uint64_t{toolkit::FreshMemory::HugePageSize - 1};
    std::vector<std::exception_ptr> failures(readers);
    auto readPart = [&](unsigned index) {
        const std::uint64_t start = std::min<std::uint64_t>(count, std::uint64_t{index} * part);
        const std::uint64_t length = std::min<std::uint64_t>(count - start, part);
        try {
            file.support->readFrameBytes(file.fd, frame, first + start, length, destination + start);
        } catch (...) {
            failures[index] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(readers - 1);
    unsigned index = 1;
    try {
        for (; index < readers; ++index) {
            threads.emplace_back(readPart, index);
        }
    } catch (const std::system_error&) {
        // No more threads: this one reads the parts left.
    }
    for (unsigned rest = index; rest < readers; ++rest) {
        readPart(rest);
    }
    readPart(0);
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

std::vector<py::ssize_t> signedSizes(const std::vector<std::size_t>& values) {
    return {values.begin(), values.end()};
}

/// A slice of positions `first` to `last` (both included) by `step` (negative: downwards), as
/// Python writes it: a stop below 0 is None.
py::slice sliceOf(std::size_t first, std::size_t last, std::size_t step, bool downwards) {
    const auto start = static_cast<py::ssize_t>(first);
    const auto stride = static_cast<py::ssize_t>(step);
    if (!downwards) {
        return {py::int_(start), py::int_(static_cast<py::ssize_t>(last) + 1), py::int_(stride)};
    }
    const py::ssize_t stop = static_cast<py::ssize_t>(last) - 1;
    return {py::int_(start), stop < 0 ? py::object(py::none()) : py::object(py::int_(stop)),
            py::int_(-stride)};
}

} // namespace

void setReadOnly(py::array& array) {
    py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
}

Frame::Frame(SharedFile file, const toolkit::IndexedFrame& frame) : m_file(std::move(file)), m_frame(frame) {
    auto [dtype, components] = numpyType(m_frame.dataType);
    m_dtype = std::move(dtype);
    m_components = components;
    const std::vector<std::size_t>& axes = m_frame.shape.values();
    const std::vector<std::size_t>& strides = m_frame.layout.strides().values();
    if (m_frame.layout.shape().values() != axes) {
        throw velmora::Error("frame " + std::to_string(m_frame.index) +
                             " has a stored layout of another shape");
    }
    m_shape.assign(axes.rbegin(), axes.rend());
    m_storedShape = m_shape;
    m_storedStrides.assign(strides.rbegin(), strides.rend());
    const auto elementSize = static_cast<std::size_t>(m_dtype.itemsize());
    if (m_components > 0) {
        m_shape.push_back(m_components);
        // Colour: a record of the components over the whole stored element (3 used bytes of 4).
        m_itemSize = strides.empty() ? m_frame.layout.dataType().elementSize() : strides.front();
        if (m_itemSize < m_components * elementSize) {
            throw velmora::Error("frame " + std::to_string(m_frame.index) +
                                 " stores its elements in fewer bytes "
                                 "than their components take");
        }
        static const char* const names[] = {"R", "G", "B", "A"};
        py::list fieldNames;
        py::list formats;
        py::list offsets;
        for (std::size_t component = 0; component < m_components; ++component) {
            fieldNames.append(component < 4 ? py::str(names[component])
                                            : py::str("f" + std::to_string(component)));
            formats.append(m_dtype);
            offsets.append(component * elementSize);
        }
        py::dict description;
        description["names"] = fieldNames;
        description["formats"] = formats;
        description["offsets"] = offsets;
        description["itemsize"] = m_itemSize;
        m_storedDtype = py::dtype::from_args(description);
    } else {
        m_itemSize = elementSize;
        m_storedDtype = m_dtype;
    }
    // Packed: the last NumPy axis (axis 0 of the frame) moves by one element, each other axis by the
    // whole of the axes after it. Frames of other layouts are read whole.
    m_packed = true;
    std::size_t expected = m_itemSize;
    for (std::size_t axis = m_storedShape.size(); axis-- > 0;) {
        m_packed = m_packed && m_storedStrides[axis] == expected;
        expected *= m_storedShape[axis];
    }
    m_packed = m_packed && expected <= m_frame.byteCount;
}

py::tuple Frame::shape() const {
    return toTuple(m_shape);
}

void Frame::requireWhole(bool allowTruncated) const {
    if (!allowTruncated && m_frame.truncated()) {
        throw velmora::Error("frame " + std::to_string(m_frame.index) + " is cut short: the file holds " +
                             std::to_string(*m_frame.bytesInFile) + " of its " +
                             std::to_string(m_frame.byteCount) +
                             " pixel bytes (allow_truncated=True reads the rest as zeros)");
    }
}

py::object Frame::readSelection(const std::vector<Selection>& selection, py::handle components,
                                bool asStored) const {
    const std::size_t axes = m_storedShape.size();
    // The buffer: per axis either the selected positions alone (`iterated`: the axes before the
    // run) or the span from `base` on (the run's axes). The run is one read of contiguous bytes:
    // the innermost axis that is not taken whole, spanned from its lowest to its highest selected
    // position (or, stepping over large blocks, iterated), and the axes after it, whole. Unpacked
    // layouts are read whole.
    std::vector<std::size_t> lengths(axes);
    std::vector<std::size_t> bases(axes, 0);
    std::size_t run = 0; // first axis of the run
    bool empty = false;
    if (m_packed) {
        for (std::size_t axis = axes; axis-- > 0;) {
            const Selection& taken = selection[axis];
            if (taken.dropped || taken.step != 1 || taken.count != m_storedShape[axis]) {
                run = axis;
                // Steps over blocks of a page or more (planes, long rows) read the selected
                // blocks alone rather than the span between them.
                if (taken.step > 1 && axis + 1 < axes && m_storedStrides[axis] >= LargeBlock) {
                    run = axis + 1;
                }
                break;
            }
        }
    }
    for (std::size_t axis = 0; axis < axes; ++axis) {
        const Selection& taken = selection[axis];
        empty = empty || taken.count == 0;
        if (!m_packed || axis > run) {
            lengths[axis] = m_storedShape[axis];
        } else if (axis == run) {
            bases[axis] = taken.lowest;
            lengths[axis] = taken.count == 0 ? 0 : (taken.count - 1) * taken.step + 1;
        } else {
            lengths[axis] = taken.count;
        }
    }

    std::vector<std::size_t> bufferShape = lengths;
    std::vector<std::size_t> bufferStrides(axes);
    std::size_t bytes = 0;
    if (m_packed) {
        bytes = m_itemSize;
        for (std::size_t axis = axes; axis-- > 0;) {
            bufferStrides[axis] = bytes;
            bytes *= lengths[axis];
        }
    } else {
        bufferStrides = m_storedStrides;
        bytes = empty ? 0 : m_frame.byteCount;
    }
    if (axes == 0) {
        bytes = m_frame.byteCount;
    }
    py::dtype bufferType = m_storedDtype;
    if (m_components > 0) {
        // Colour: the stored bytes of each pixel as a trailing axis of uint8.
        bufferType = py::dtype::of<std::uint8_t>();
        bufferShape.push_back(m_itemSize);
        bufferStrides.push_back(1);
    }
    auto [data, owner] = allocate(bytes, m_frame.index);
    py::array buffer(bufferType, signedSizes(bufferShape), signedSizes(bufferStrides), data, owner);

    if (bytes > 0) {
        const FileLease file = leaseOf(m_file);
        py::gil_scoped_release release;
        if (!m_packed || axes == 0) {
            readBytes(*file, m_frame, 0, bytes, data);
        } else {
            const std::size_t runBytes = lengths[run] * m_storedStrides[run];
            const std::uint64_t runStart = std::uint64_t{bases[run]} * m_storedStrides[run];
            std::vector<std::size_t> position(run, 0); // counts k per iterated axis
            for (std::uint8_t* into = data;; into += runBytes) {
                std::uint64_t at = runStart;
                for (std::size_t axis = 0; axis < run; ++axis) {
                    at += (selection[axis].lowest + position[axis] * selection[axis].step) *
                          m_storedStrides[axis];
                }
                readBytes(*file, m_frame, at, runBytes, into);
                std::size_t axis = run;
                while (axis > 0 && ++position[axis - 1] == lengths[axis - 1]) {
                    position[--axis] = 0;
                }
                if (axis == 0) {
                    break;
                }
            }
        }
    }

    if (asStored) {
        return m_components > 0
                   ? py::object(buffer.attr("view")(m_storedDtype)[py::make_tuple(py::ellipsis(), 0)])
                   : py::object(buffer);
    }
    // What the caller asked for, as a view of the buffer.
    py::tuple within(axes + (m_components > 0 ? 1 : 0));
    bool identity = true;
    for (std::size_t axis = 0; axis < axes; ++axis) {
        const Selection& taken = selection[axis];
        const bool spanned = !m_packed || axis >= run;
        const std::size_t lowest = spanned ? taken.lowest - bases[axis] : 0;
        const std::size_t step = spanned ? taken.step : 1;
        if (taken.dropped) {
            within[axis] = py::int_(lowest);
            identity = false;
        } else if (taken.count == 0) {
            within[axis] = py::slice(0, 0, 1);
        } else {
            const std::size_t highest = lowest + (taken.count - 1) * step;
            within[axis] =
                taken.reversed ? sliceOf(highest, lowest, step, true) : sliceOf(lowest, highest, step, false);
            identity =
                identity && !taken.reversed && lowest == 0 && step == 1 && highest + 1 == bufferShape[axis];
        }
    }
    if (m_components > 0) {
        within[axes] = py::slice(0, static_cast<py::ssize_t>(m_components), 1);
        identity = false;
    }
    py::object result = identity ? py::object(buffer) : py::object(buffer[within]);
    if (!components.is_none()) {
        result = result[py::make_tuple(py::ellipsis(), components)];
    }
    // A part that keeps far fewer bytes than were read gets memory of its own.
    const auto kept = result.attr("nbytes").cast<std::size_t>();
    if (kept > 0 && kept * 2 < bytes) {
        result = py::module_::import("numpy").attr("ascontiguousarray")(result);
    }
    return result;
}

std::vector<Frame::Selection> Frame::whole() const {
    std::vector<Selection> selection(m_storedShape.size());
    for (std::size_t axis = 0; axis < selection.size(); ++axis) {
        selection[axis].count = m_storedShape[axis];
    }
    return selection;
}

py::object Frame::asArray(bool allowTruncated) const {
    requireWhole(allowTruncated);
    return readSelection(whole(), py::none(), false);
}

py::object Frame::stored(bool allowTruncated) const {
    requireWhole(allowTruncated);
    return readSelection(whole(), py::none(), true);
}

py::object Frame::read(py::handle key, bool allowTruncated) const {
    py::tuple items =
        py::isinstance<py::tuple>(key) ? py::reinterpret_borrow<py::tuple>(key) : py::make_tuple(key);
    const std::size_t ndim = m_shape.size();
    std::vector<py::object> expanded;
    bool ellipsis = false;
    for (py::handle item : items) {
        if (item.is(py::ellipsis())) {
            if (ellipsis) {
                throw py::index_error("an index can only have a single ellipsis ('...')");
            }
            ellipsis = true;
            const std::size_t others = items.size() - 1;
            for (std::size_t i = others; i < ndim; ++i) {
                expanded.emplace_back(py::slice(py::none(), py::none(), py::none()));
            }
        } else {
            expanded.emplace_back(py::reinterpret_borrow<py::object>(item));
        }
    }
    if (expanded.size() > ndim) {
        throw py::index_error("too many indices for a frame of " + std::to_string(ndim) + " dimensions");
    }
    while (expanded.size() < ndim) {
        expanded.emplace_back(py::slice(py::none(), py::none(), py::none()));
    }

    std::vector<Selection> selection(m_storedShape.size());
    py::object components = py::none();
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        const auto length = static_cast<py::ssize_t>(m_shape[axis]);
        const py::object& item = expanded[axis];
        const bool componentAxis = m_components > 0 && axis + 1 == ndim;
        Selection taken;
        if (py::isinstance<py::slice>(item)) {
            py::ssize_t start = 0;
            py::ssize_t stop = 0;
            py::ssize_t step = 0;
            py::ssize_t count = 0;
            if (!py::reinterpret_borrow<py::slice>(item).compute(length, &start, &stop, &step, &count)) {
                throw py::error_already_set();
            }
            taken.count = static_cast<std::size_t>(count);
            taken.step = static_cast<std::size_t>(step > 0 ? step : -step);
            taken.reversed = step < 0;
            if (count > 0) {
                taken.lowest = static_cast<std::size_t>(step > 0 ? start : start + (count - 1) * step);
            }
            if (taken.count <= 1) {
                taken.step = 1;
                taken.reversed = false;
            }
        } else {
            // NumPy would take True as a mask adding an axis, not as index 1: refused here.
            if (PyBool_Check(item.ptr())) {
                throw py::index_error("boolean indices are not supported");
            }
            PyObject* number = PyNumber_Index(item.ptr());
            if (number == nullptr) {
                throw py::error_already_set();
            }
            py::ssize_t position = PyNumber_AsSsize_t(number, PyExc_IndexError);
            Py_DECREF(number);
            if (position == -1 && PyErr_Occurred() != nullptr) {
                throw py::error_already_set();
            }
            if (position < -length || position >= length) {
                throw py::index_error("index " + std::to_string(position) + " is out of bounds for axis " +
                                      std::to_string(axis) + " with size " + std::to_string(length));
            }
            taken.lowest = static_cast<std::size_t>(position < 0 ? position + length : position);
            taken.count = 1;
            taken.dropped = true;
        }
        if (componentAxis) {
            // Components come whole with each element; the index applies to them afterwards.
            const bool all =
                !taken.dropped && taken.count == m_components && taken.step == 1 && !taken.reversed;
            components = all ? py::object(py::none()) : item;
        } else {
            selection[axis] = taken;
        }
    }
    requireWhole(allowTruncated);
    return readSelection(selection, components, false);
}

py::object Frame::memmap() const {
    if (!m_frame.bytesInFile || *m_frame.bytesInFile < m_frame.byteCount) {
        throw velmora::Error(
            "frame " + std::to_string(m_frame.index) + " cannot be mapped: the file holds " +
            (m_frame.bytesInFile ? std::to_string(*m_frame.bytesInFile) : std::string("an unknown number")) +
            " of its " + std::to_string(m_frame.byteCount) + " pixel bytes");
    }
    if (m_frame.byteCount == 0 || !m_packed) {
        throw velmora::Error(
            "frame " + std::to_string(m_frame.index) +
            (m_packed ? " has no bytes to map" : " is not stored packed and cannot be mapped"));
    }
    const py::module_ numpy = py::module_::import("numpy");
    // numpy.memmap maps through a file object: one on a duplicate of the descriptor, so that the
    // mapping is of the file this File opened, whatever the path names now. The mapping keeps the
    // file open on its own.
    // Only the duplicate is taken under the lease: what follows runs Python code.
    const int duplicate = ::fcntl(leaseOf(m_file)->fd, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::error_already_set();
    }
    py::object stream;
    try {
        stream = py::module_::import("io").attr("open")(duplicate, "rb", py::arg("closefd") = true);
    } catch (...) {
        ::close(duplicate);
        throw;
    }
    py::object mapped;
    try {
        std::vector<std::size_t> shape = m_storedShape;
        py::object type = m_storedDtype;
        if (m_components > 0) {
            shape.push_back(m_itemSize);
            type = py::dtype::of<std::uint8_t>();
        }
        mapped = numpy.attr("memmap")(stream, py::arg("dtype") = type, py::arg("mode") = "r",
                                      py::arg("offset") = m_frame.offset, py::arg("shape") = toTuple(shape));
        if (m_components > 0) {
            mapped = mapped[py::make_tuple(py::ellipsis(),
                                           py::slice(0, static_cast<py::ssize_t>(m_components), 1))];
        }
    } catch (...) {
        stream.attr("close")();
        throw;
    }
    stream.attr("close")();
    return mapped;
}

py::dict Frame::storage() const {
    py::dict storage;
    storage["offset"] = m_frame.offset;
    storage["byte_count"] = m_frame.byteCount;
    storage["bytes_in_file"] = m_frame.bytesInFile ? py::object(py::int_(*m_frame.bytesInFile)) : py::none();
    storage["dtype"] = m_storedDtype;
    storage["shape"] = toTuple(m_storedShape);
    storage["strides"] = toTuple(m_storedStrides);
    return storage;
}

std::string Frame::repr() const {
    std::string text = "<trestan.Frame " + std::to_string(m_frame.index) + ": (";
    for (std::size_t i = 0; i < m_shape.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(m_shape[i]);
    }
    if (m_shape.size() == 1) {
        text += ",";
    }
    return text + ") " + m_dtype.attr("name").cast<std::string>() + ">";
}

void bindFrame(py::module_& module) {
    py::class_<Calibration> calibration(
        module, "Calibration",
        "Spatial calibration of a frame's first three axes, axis 0 (the last "
        "NumPy axis) first: physical position of the first pixel (origin, as "
        "stored in the file), distance between pixels (scale) and the unit of "
        "axis 0.");
    setPublicModule(calibration);
    refuseConstruction(calibration);
    calibration.def_readonly("origin", &Calibration::origin, "Three floats, axis 0 first.")
        .def_readonly("scale", &Calibration::scale, "Three floats, axis 0 first.")
        .def_readonly("unit", &Calibration::unit, "The unit of axis 0 (str).")
        .def("__repr__", [](const Calibration& self) {
            return "Calibration(origin=" + py::repr(self.origin).cast<std::string>() +
                   ", scale=" + py::repr(self.scale).cast<std::string>() +
                   ", unit=" + py::repr(py::str(self.unit)).cast<std::string>() + ")";
        });

    py::class_<Frame> frame(module, "Frame",
                            R"(One image of an open file; its pixels stay in the file until read.

    frame.shape, frame.dtype    the NumPy shape and type (axis 0 of the file last)
    frame.asarray()             the whole frame, read now into a new writable array
    numpy.asarray(frame)        the same
    frame[10:20, :, 5]          a part, reading only the bytes it needs (also frame.read(...))
    frame.memmap()              a read-only numpy.memmap, read as it is touched
    frame.truncated             whether the file ends inside the frame's pixels

Complex images are complex64 or complex128; colour images uint8 with a trailing axis of 3
(stored in 4 bytes per pixel, of which the array shows the first 3); binary images uint8.
Reads need the file open: after File.close() they raise ValueError. A frame whose pixels the file
does not wholly hold (frame.truncated) is refused with trestan.Error unless allow_truncated=True
is given, which reads the missing bytes as zeros.
)");
    setPublicModule(frame);
    refuseConstruction(frame);
    frame.def_property_readonly("index", &Frame::index, "Position of the frame in its file.")
        .def_property_readonly("shape", &Frame::shape,
                               "NumPy shape (tuple): the file's axes reversed, axis 0 (the fastest "
                               "varying, the image width) last; colour adds a trailing axis of 3.")
        .def_property_readonly("dtype", &Frame::dtype, "NumPy element type.")
        .def_property_readonly("ndim", [](const Frame& self) { return self.numpyShape().size(); })
        .def_property_readonly(
            "byte_count", [](const Frame& self) { return self.indexed().byteCount; },
            "Bytes the file declares for the frame's stored pixels (colour: 4 a pixel).")
        .def_property_readonly(
            "bytes_in_file",
            [](const Frame& self) -> py::object {
                const auto& held = self.indexed().bytesInFile;
                return held ? py::object(py::int_(*held)) : py::object(py::none());
            },
            "How many of those bytes the file held when it was opened (None when not known).")
        .def_property_readonly(
            "truncated", [](const Frame& self) { return self.indexed().truncated(); },
            "True when the file ends inside the frame's pixels.")
        .def("asarray", &Frame::asArray, py::arg("allow_truncated") = false,
             R"(The whole frame, read from the file into a new writable NumPy array that the caller owns.

Each call reads the file again and gives a new array. The bytes go from the file straight into
the array's memory (large arrays on huge pages where the system offers them), with the GIL
released; colour is a view of the stored 4 bytes a pixel that shows the first 3. The array stays
valid after File.close() and after the File and Frame objects are gone. Raises ValueError after
File.close(), and trestan.Error for a frame cut short unless allow_truncated=True (zeros for the
bytes the file does not hold).)")
        .def(
            "__array__",
            [](const Frame& self, py::object dtype, py::object /*copy*/) -> py::object {
                py::object array = self.asArray(false);
                if (!dtype.is_none()) {
                    array = array.attr("astype")(dtype, py::arg("copy") = false);
                }
                return array;
            },
            py::arg("dtype") = py::none(), py::arg("copy") = py::none(),
            "NumPy protocol: numpy.asarray(frame) is frame.asarray(), a new array each time.")
        .def("read", &Frame::read, py::arg("region"), py::arg("allow_truncated") = false,
             R"(A part of the frame in a new writable array: `region` is an index as for NumPy arrays
(integers, slices, one Ellipsis) in NumPy axis order; frame.read(region) is frame[region]. Only
the bytes the part needs are read (a slice along the first axis reads those planes alone; in
general one run of bytes per selected row or plane), with the GIL released. Raises what
asarray() raises.)")
        .def(
            "__getitem__", [](const Frame& self, py::handle region) { return self.read(region, false); },
            py::arg("region"))
        .def("memmap", &Frame::memmap,
             R"(The frame as a read-only numpy.memmap of the file this File opened: nothing is read
until it is touched. Colour is a view that shows 3 of the 4 stored bytes a pixel. The mapping
outlives File.close(). Raises trestan.Error for a frame that the file does not wholly hold.

A file that is made shorter while it is mapped kills the process with SIGBUS when the missing
bytes are touched: map only files that nobody truncates or rewrites in place.)")
        .def_property_readonly(
            "_storage", &Frame::storage,
            "Where the stored array lies: {\"offset\", \"byte_count\", \"bytes_in_file\", "
            "\"dtype\" (of one stored element), \"shape\", \"strides\" (NumPy, in bytes)}.")
        .def("_stored", &Frame::stored, py::arg("allow_truncated") = false,
             "The stored elements in a new writable array of _storage's dtype and shape.")
        .def_property_readonly(
            "calibration",
            [](const Frame& self) {
                const velmora::SpatialCalibrationProperty& source = self.properties().calibration();
                return Calibration{toTuple(source.origin()), toTuple(source.spacing()), source.unit()};
            },
            "Spatial calibration (origin, scale, unit), axis 0 first.")
        .def_property_readonly(
            "interpretation",
            [](const Frame& self) {
                return toolkit::interpretationName(self.properties().imageInfo().interpretation());
            },
            "What the values mean: 'GRAYSCALE', 'COMPLEX', 'BINARY', 'RGB', ...")
        .def_property_readonly(
            "bit_depth", [](const Frame& self) { return self.properties().imageInfo().bitDepth(); },
            "Significant bits per component (1 for binary images).")
        .def_property_readonly(
            "value_range",
            [](const Frame& self) { return toTuple(self.properties().imageInfo().valueRange()); },
            "(low, high): the range the values may take.")
        .def("__len__",
             [](const Frame& self) {
                 if (self.numpyShape().empty()) {
                     throw py::type_error("len() of a frame without axes");
                 }
                 return self.numpyShape()[0];
             })
        .def("__repr__", &Frame::repr);
}

} // namespace trestan::python
