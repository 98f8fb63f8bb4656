#include "FrameSummary.h"

#include "FrameReader.h"
#include "Sha256.h"
#include "trestan/toolkit/ImageNames.h"
#include "trestan/toolkit/NumberFormatter.h"
#include "velmora/Error.h"

#include <cmath>

namespace trestan::cli {

namespace {

std::string dataOriginName(velmora::ViewDataOrigin origin) {
    switch (origin) {
    case velmora::ViewDataOrigin::UNKNOWN:
        return "unknown";
    case velmora::ViewDataOrigin::MEMORY:
        return "memory";
    case velmora::ViewDataOrigin::FILE:
        return "file";
    case velmora::ViewDataOrigin::NETWORK:
        return "network";
    case velmora::ViewDataOrigin::GENERATED:
        return "generated";
    case velmora::ViewDataOrigin::DERIVED:
        return "derived";
    case velmora::ViewDataOrigin::MIXED:
        return "mixed";
    }
    return std::to_string(static_cast<std::uint32_t>(origin));
}

// Compact text of a number for people: integers without a fraction, others in shortest form.
std::string numberText(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    return toolkit::NumberFormatter::shortest(value);
}

template <std::size_t N> std::string vectorText(const velmora::Vector<double, N>& vector) {
    std::string text = "(";
    for (std::size_t i = 0; i < N; ++i) {
        text += (i == 0 ? "" : ", ") + numberText(vector[i]);
    }
    return text + ")";
}

template <std::size_t N> nlohmann::ordered_json vectorJson(const velmora::Vector<double, N>& vector) {
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    for (double component : vector) {
        json.push_back(component);
    }
    return json;
}

} // namespace

FrameSummary FrameSummary::describe(const toolkit::HostFile& file, std::size_t index, bool checksum,
                                    bool allowTruncated) {
    const toolkit::IndexedFrame& frame = file.index().frames.at(index);
    FrameSummary summary;
    summary.m_index = index;
    summary.m_shape = frame.shape;
    summary.m_dataType = frame.dataType;
    summary.m_info = frame.properties.imageInfo();
    summary.m_calibration = frame.properties.calibration();
    // A view without a view-origin record is reported without one rather than refused: the record
    // is provenance, not data.
    try {
        if (const std::optional<toolkit::FileIndex::FrameOrigin> origin = file.frameOrigin(index)) {
            summary.m_viewOrigin = ViewOrigin{origin->displayName, origin->dataOrigin, origin->parentCount};
        }
    } catch (const velmora::Error&) {
        summary.m_viewOrigin.reset();
    }
    if (frame.truncated()) {
        summary.m_truncation.emplace(frame.byteCount, *frame.bytesInFile);
    }
    if (checksum) {
        try {
            const FrameReader reader(file, index, allowTruncated);
            Sha256 hash;
            reader.forEachPiece(
                [&](const std::uint8_t* bytes, std::size_t size) { hash.update(bytes, size); });
            summary.m_sha256 = hash.hexDigest();
        } catch (const velmora::Error& error) {
            throw velmora::Error("frame " + std::to_string(index) +
                                 ": cannot compute its checksum: " + error.what());
        }
    }
    return summary;
}

nlohmann::ordered_json FrameSummary::toJson() const {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["index"] = m_index;
    json["shape"] = m_shape.values();
    json["dataType"] = m_dataType.name();
    json["dataTypeId"] = m_dataType.value();
    json["bitDepth"] = m_info.bitDepth();
    json["interpretation"] = static_cast<std::uint32_t>(m_info.interpretation());
    json["valueRange"] = vectorJson(m_info.valueRange());
    json["calibration"] = {{"origin", vectorJson(m_calibration.origin())},
                           {"spacing", vectorJson(m_calibration.spacing())},
                           {"unit", m_calibration.unit()}};
    if (m_viewOrigin) {
        json["viewOrigin"] = {{"displayName", m_viewOrigin->displayName},
                              {"dataOrigin", static_cast<std::uint32_t>(m_viewOrigin->dataOrigin)},
                              {"parentCount", m_viewOrigin->parentCount}};
    } else {
        json["viewOrigin"] = nullptr;
    }
    if (m_truncation) {
        json["truncated"] = true;
        json["bytes"] = m_truncation->first;
        json["bytesInFile"] = m_truncation->second;
    }
    if (m_sha256) {
        json["sha256"] = *m_sha256;
    }
    return json;
}

std::string FrameSummary::toText() const {
    std::string shape;
    for (std::size_t i = 0; i < m_shape.size(); ++i) {
        shape += (i == 0 ? "" : " x ") + std::to_string(m_shape[i]);
    }
    if (m_shape.empty()) {
        shape = "scalar";
    }
    std::string text = "frame " + std::to_string(m_index) + ": " + shape + " " + m_dataType.name() + ", " +
                       toolkit::interpretationName(m_info.interpretation());
    if (m_info.bitDepth() != m_dataType.bitsPerComponent()) {
        text += " (" + std::to_string(m_info.bitDepth()) + "-bit)";
    }
    text +=
        ", origin " + vectorText(m_calibration.origin()) + " spacing " + vectorText(m_calibration.spacing());
    text += m_calibration.unit().empty() ? std::string(" (no unit)") : " " + m_calibration.unit();
    if (m_viewOrigin) {
        text += ", from " + dataOriginName(m_viewOrigin->dataOrigin);
    }
    if (m_truncation) {
        text += ", truncated: the file holds " + std::to_string(m_truncation->second) + " of its " +
                std::to_string(m_truncation->first) + " bytes";
    }
    if (m_sha256) {
        text += ", sha256 " + *m_sha256;
    }
    return text;
}

} // namespace trestan::cli
