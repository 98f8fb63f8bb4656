#include "Frame.h"

#include "ImageNames.h"
#include "velmora/Error.h"

#include <cstdint>

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

} // namespace

void setReadOnly(py::array& array) {
    py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
}

Frame::Frame(std::shared_ptr<velmora::ImageView> view, std::size_t index)
    : m_view(std::move(view)), m_index(index) {
    m_frameShape = m_view->shape();
    m_dataType = m_view->dataType();
    m_properties = m_view->properties();
    if (!m_properties) {
        throw velmora::Error("frame " + std::to_string(index) + " has no image properties");
    }
    auto [dtype, components] = numpyType(m_dataType);
    m_dtype = std::move(dtype);
    m_components = components;
    m_shape.assign(m_frameShape.values().rbegin(), m_frameShape.values().rend());
    if (m_components > 0) {
        m_shape.push_back(m_components);
    }
}

py::tuple Frame::shape() const {
    return toTuple(m_shape);
}

py::array Frame::asArray(py::object self) {
    Frame& frame = self.cast<Frame&>();
    if (!frame.m_copy) {
        py::array copy = frame.readBox(std::vector<std::size_t>(frame.m_shape.size(), 0), frame.m_shape);
        setReadOnly(copy);
        // Another thread may have read the frame while this one ran without the GIL: the first
        // array kept is the one every call returns.
        if (!frame.m_copy) {
            frame.m_copy = copy;
        }
    }
    return frame.m_copy;
}

py::array Frame::readBox(const std::vector<std::size_t>& offset, const std::vector<std::size_t>& size) const {
    py::array box(m_dtype, std::vector<py::ssize_t>(size.begin(), size.end()));
    if (box.size() == 0) {
        return box;
    }
    // The region read counts axes the other way round and copies whole elements (all components).
    const std::size_t axes = m_frameShape.size();
    velmora::VectorX<std::size_t> regionOffset(axes);
    velmora::VectorX<std::size_t> regionSize(axes);
    for (std::size_t axis = 0; axis < axes; ++axis) {
        regionOffset[axis] = offset[axes - 1 - axis];
        regionSize[axis] = size[axes - 1 - axis];
    }
    const velmora::RegionX<std::size_t> region(std::move(regionOffset), std::move(regionSize));
    void* destination = box.mutable_data();
    {
        py::gil_scoped_release release;
        m_view->readRegion(region, destination);
    }
    return box;
}

py::object Frame::read(py::handle key) const {
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

    std::vector<std::size_t> offset(ndim);
    std::vector<std::size_t> size(ndim);
    py::tuple within(ndim);
    bool whole = true;
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        const auto length = static_cast<py::ssize_t>(m_shape[axis]);
        const py::object& item = expanded[axis];
        // Components are copied whole, since the region read delivers complete elements; the
        // index applies to them afterwards.
        const bool componentAxis = m_components > 0 && axis + 1 == ndim;
        if (py::isinstance<py::slice>(item)) {
            py::ssize_t start = 0;
            py::ssize_t stop = 0;
            py::ssize_t step = 0;
            py::ssize_t count = 0;
            if (!py::reinterpret_borrow<py::slice>(item).compute(length, &start, &stop, &step, &count)) {
                throw py::error_already_set();
            }
            if (componentAxis) {
                offset[axis] = 0;
                size[axis] = m_components;
                within[axis] = item;
                whole = whole && step == 1 && count == length;
            } else if (count == 0) {
                offset[axis] = 0;
                size[axis] = 0;
                within[axis] = py::slice(py::none(), py::none(), py::none());
            } else {
                const py::ssize_t first = step > 0 ? start : start + (count - 1) * step;
                offset[axis] = static_cast<std::size_t>(first);
                size[axis] = static_cast<std::size_t>((count - 1) * (step > 0 ? step : -step) + 1);
                within[axis] = py::slice(py::none(), py::none(), py::int_(step));
                whole = whole && step == 1;
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
            if (position < 0) {
                position += length;
            }
            offset[axis] = componentAxis ? 0 : static_cast<std::size_t>(position);
            size[axis] = componentAxis ? m_components : 1;
            within[axis] = py::int_(componentAxis ? position : 0);
            whole = false;
        }
    }
    py::array box = readBox(offset, size);
    if (whole) {
        return box;
    }
    return box[within];
}

std::string Frame::repr() const {
    std::string text = "<trestan.Frame " + std::to_string(m_index) + ": (";
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

    py::class_<Frame> frame(module, "Frame", R"(One image of a file, with its pixels in memory.

    frame.shape, frame.dtype    the NumPy shape and type (axis 0 of the file last)
    frame.asarray()             the whole frame as a read-only array, read once and kept
    numpy.asarray(frame)        the same
    frame[10:20, :, 5]          a copy of a part (also frame.read((slice(10, 20), ..., 5)))

Complex images are complex64 or complex128; colour images uint8 with a trailing axis of 3
(stored in 4 bytes per pixel, of which the array holds the first 3); binary images uint8.
)");
    setPublicModule(frame);
    refuseConstruction(frame);
    frame.def_property_readonly("index", &Frame::index, "Position of the frame in its file.")
        .def_property_readonly("shape", &Frame::shape,
                               "NumPy shape (tuple): the file's axes reversed, axis 0 (the fastest "
                               "varying, the image width) last; colour adds a trailing axis of 3.")
        .def_property_readonly("dtype", &Frame::dtype, "NumPy element type.")
        .def_property_readonly("ndim", [](const Frame& self) { return self.numpyShape().size(); })
        .def("asarray", &Frame::asArray,
             R"(The pixels as a read-only NumPy array.

The frame is read once through its region read (a Gatan frame keeps its pixel buffer to
itself), and later calls return the same array. The array keeps its memory alive on its own: it stays valid after File.close() and after
the File and Frame objects are gone.)")
        .def(
            "__array__",
            [](py::object self, py::object dtype, py::object copy) -> py::object {
                py::object array = Frame::asArray(self);
                if (!dtype.is_none()) {
                    array = array.attr("astype")(dtype, py::arg("copy") = false);
                }
                if (!copy.is_none() && copy.cast<bool>()) {
                    array = array.attr("copy")();
                }
                return array;
            },
            py::arg("dtype") = py::none(), py::arg("copy") = py::none(),
            "NumPy protocol: numpy.asarray(frame) is frame.asarray().")
        .def("read", &Frame::read, py::arg("region"),
             R"(A copy of a part of the frame: `region` is an index as for NumPy arrays (integers,
slices, one Ellipsis) in NumPy axis order. frame.read(region) is frame[region]. Only the
box that the index spans is copied, with the GIL released.)")
        .def("__getitem__", &Frame::read, py::arg("region"))
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
                return app::interpretationName(self.properties().imageInfo().interpretation());
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
