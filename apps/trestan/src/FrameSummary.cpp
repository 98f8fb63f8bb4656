#include "FrameSummary.h"

#include "FramePixels.h"
#include "ImageNames.h"
#include "NumberFormatter.h"
#include "Sha256.h"
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
    return app::NumberFormatter::shortest(value);
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

FrameSummary FrameSummary::describe(std::size_t index, velmora::ImageView& frame, bool checksum) {
    FrameSummary summary;
    summary.m_index = index;
    summary.m_shape = frame.shape();
    summary.m_dataType = frame.dataType();
    const std::shared_ptr<velmora::ImageProperties> properties = frame.properties();
    if (!properties) {
        throw velmora::Error("frame " + std::to_string(index) + " has no image properties");
    }
    summary.m_info = properties->imageInfo();
    summary.m_calibration = properties->calibration();
    // A view without a view-origin record is reported without one rather than refused: the record
    // is provenance, not data.
    try {
        const std::shared_ptr<velmora::ViewOriginExtension> origin = frame.viewOrigin();
        if (origin) {
            summary.m_viewOrigin =
                ViewOrigin{origin->displayName(), origin->dataOrigin(), origin->parentCount()};
        }
    } catch (const velmora::Error&) {
        summary.m_viewOrigin.reset();
    }
    if (checksum) {
        FramePixels pixels;
        try {
            pixels = FramePixels::read(frame);
        } catch (const velmora::Error& error) {
            throw velmora::Error("frame " + std::to_string(index) +
                                 ": cannot compute its checksum: " + error.what());
        }
        summary.m_sha256 = Sha256::hexDigest(pixels.bytes().data(), pixels.bytes().size());
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
                       app::interpretationName(m_info.interpretation());
    if (m_info.bitDepth() != m_dataType.bitsPerComponent()) {
        text += " (" + std::to_string(m_info.bitDepth()) + "-bit)";
    }
    text +=
        ", origin " + vectorText(m_calibration.origin()) + " spacing " + vectorText(m_calibration.spacing());
    text += m_calibration.unit().empty() ? std::string(" (no unit)") : " " + m_calibration.unit();
    if (m_viewOrigin) {
        text += ", from " + dataOriginName(m_viewOrigin->dataOrigin);
    }
    if (m_sha256) {
        text += ", sha256 " + *m_sha256;
    }
    return text;
}

} // namespace trestan::cli
