#pragma once

#include "Bindings.h"
#include "velmora/ImageView.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace trestan::python {

/// One frame of a file. Holding it keeps the frame (and so the reader's pixel buffer) alive; the
/// array of asarray() owns its memory and outlives both.
class Frame {
public:
    Frame(std::shared_ptr<velmora::ImageView> view, std::size_t index);

    std::size_t index() const { return m_index; }
    /// NumPy shape: the frame's axes reversed (axis 0 last), then the components of a multi-component
    /// element such as colour.
    py::tuple shape() const;
    const std::vector<std::size_t>& numpyShape() const { return m_shape; }
    const py::dtype& dtype() const { return m_dtype; }
    const velmora::ImageProperties& properties() const { return *m_properties; }

    /// The whole frame, read once through the region read into a read-only array that later
    /// calls return again.
    static py::array asArray(py::object self);
    /// A copy of the part that `key` selects (integers, slices, one Ellipsis; in NumPy axis order),
    /// read through the frame's region read.
    py::object read(py::handle key) const;
    std::string repr() const;

private:
    /// Copies the box of `offset` and `size` (NumPy axis order, components included) into a new array.
    py::array readBox(const std::vector<std::size_t>& offset, const std::vector<std::size_t>& size) const;

    std::shared_ptr<velmora::ImageView> m_view;
    std::size_t m_index;
    velmora::VectorX<std::size_t> m_frameShape;
    velmora::DataType m_dataType;
    std::shared_ptr<velmora::ImageProperties> m_properties;
    py::dtype m_dtype;
    std::size_t m_components = 0; ///< length of the trailing component axis; 0 when there is none
    std::vector<std::size_t> m_shape;
    py::object m_copy;
};

} // namespace trestan::python
