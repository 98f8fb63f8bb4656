#pragma once

#include "Bindings.h"
#include "OpenFile.h"
#include "trestan/toolkit/FileIndex.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace trestan::python {

/// One frame of an open file: where its bytes lie and how to read them. Its reads lease the file
/// (shared with the File it came from), so they end before the file's close() returns, and fail
/// with ValueError once the file is closed. Every read gives a new array that the caller owns.
class Frame {
public:
    Frame(SharedFile file, const toolkit::IndexedFrame& frame);

    std::size_t index() const { return m_frame.index; }
    /// NumPy shape: the frame's axes reversed (axis 0 last), then the components of a multi-component
    /// element such as colour.
    py::tuple shape() const;
    const std::vector<std::size_t>& numpyShape() const { return m_shape; }
    const py::dtype& dtype() const { return m_dtype; }
    const velmora::ImageProperties& properties() const { return m_frame.properties; }
    const toolkit::IndexedFrame& indexed() const { return m_frame; }

    /// The whole frame in a new writable array: colour as a view of 3 of the 4 stored bytes a pixel.
    py::object asArray(bool allowTruncated) const;
    /// The stored elements in a new writable array (frame axes reversed, colour as records of the
    /// 4 stored bytes).
    py::object stored(bool allowTruncated) const;
    /// The part that `key` selects (integers, slices, one Ellipsis; in NumPy axis order), read from
    /// the file: only the runs of bytes it needs.
    py::object read(py::handle key, bool allowTruncated) const;
    /// A read-only numpy.memmap of the frame.
    py::object memmap() const;
    /// {"offset", "byte_count", "bytes_in_file", "dtype", "shape", "strides"} of the stored array.
    py::dict storage() const;
    std::string repr() const;

private:
    /// One axis of a selection, in NumPy order: positions lowest + k * step for k < count, taken
    /// in descending order when `reversed`; `dropped` for an integer index.
    struct Selection {
        std::size_t lowest = 0;
        std::size_t step = 1;
        std::size_t count = 0;
        bool reversed = false;
        bool dropped = false;
    };

    void requireWhole(bool allowTruncated) const;
    /// Every element, one Selection per axis.
    std::vector<Selection> whole() const;
    /// Reads the selected stored elements (one Selection per frame axis, NumPy order) and applies
    /// `components` (an index of the component axis, or None) to colour; with `asStored`, the buffer
    /// read (a whole selection) as stored elements instead.
    py::object readSelection(const std::vector<Selection>& selection, py::handle components,
                             bool asStored) const;

    SharedFile m_file;
    toolkit::IndexedFrame m_frame;
    py::dtype m_dtype;                        ///< of what asarray() gives
    py::dtype m_storedDtype;                  ///< of one stored element
    std::size_t m_components = 0;             ///< length of the trailing component axis; 0 when there is none
    std::vector<std::size_t> m_shape;         ///< NumPy shape of asarray()
    std::vector<std::size_t> m_storedShape;   ///< NumPy shape of the stored array
    std::vector<std::size_t> m_storedStrides; ///< its strides in bytes
    std::size_t m_itemSize = 0;               ///< bytes of one stored element
    bool m_packed = false; ///< stored elements one after the other, the last NumPy axis fastest
};

} // namespace trestan::python
