#include "trestan/gatan/DmMetadata.h"

#include "DmTags.h"
#include "trestan/gatan/DmDateTime.h"
#include "velmora/Error.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace trestan::gatan {

namespace {

using nlohmann::json;

// Sets `object[key]` when the tag gave a value; a missing tag leaves the key out.
template <typename T> void put(json& object, const char* key, const std::optional<T>& value) {
    if (value) {
        object[key] = *value;
    }
}

std::optional<double> scaled(const std::optional<double>& value, double factor) {
    return value ? std::optional<double>(*value * factor) : std::nullopt;
}

// Moves `child` into `object[key]` unless it is empty.
void putObject(json& object, const char* key, json child) {
    if (!child.empty()) {
        object[key] = std::move(child);
    }
}

// The leading number of a text such as "5 mm" or "300".
std::optional<double> leadingNumber(const std::optional<std::string>& text) {
    if (!text || text->empty()) {
        return std::nullopt;
    }
    const char* begin = text->c_str();
    char* end = nullptr;
    const double number = std::strtod(begin, &end);
    return end == begin ? std::nullopt : std::optional<double>(number);
}

// What the acquisition software says the image is: the "Meta Data" directory that GMS writes, and
// the CL detector settings that a Monarc spectrometer adds to images taken through it.
enum class SignalKind { Other, Eels, Eds, Cl };

struct ImageKind {
    SignalKind signal = SignalKind::Other;
    bool sem = false;
    std::optional<std::string> format;
};

ImageKind imageKind(const DmTags& tags) {
    ImageKind kind;
    kind.format = tags.nonEmptyText("Meta Data/Format");
    const std::optional<std::string> signal = tags.text("Meta Data/Signal");
    if (signal == "EELS") {
        kind.signal = SignalKind::Eels;
    } else if (signal == "X-ray") {
        kind.signal = SignalKind::Eds;
    } else if (signal == "CL" || tags.at("Acquisition/Monarc Spectrometer").exists()) {
        kind.signal = SignalKind::Cl;
    }
    // Cathodoluminescence is collected in a scanning electron microscope.
    kind.sem = kind.signal == SignalKind::Cl || tags.text("Microscope Info/Illumination Mode") == "SEM";
    return kind;
}

bool spectrumLike(const ImageKind& kind) {
    return kind.format == "Spectrum" || kind.format == "Spectrum image";
}

// The signal's axes in NumPy order. The stored pixels have axis 0 fastest, so NumPy order is the
// reversed frame order; spectrum images are then rearranged so that the spectrum comes last. GMS
// stores a line scan as a 2-axis image with the spectrum along axis 0, which is already last, and a
// 2-D spectrum image as a 3-axis image with the spectrum along the last axis, which comes first.
std::vector<std::size_t> numpyAxes(const std::vector<std::size_t>& frameShape, const ImageKind& kind) {
    const std::size_t count = frameShape.size();
    std::vector<std::size_t> axes;
    for (std::size_t i = count; i-- > 0;) {
        axes.push_back(i);
    }
    if (kind.format == "Spectrum image" && count >= 3) {
        std::rotate(axes.begin(), axes.begin() + 1, axes.end());
    }
    // Axes of length 1 carry nothing; one axis always stays.
    std::vector<std::size_t> kept;
    for (std::size_t axis : axes) {
        if (frameShape[axis] != 1) {
            kept.push_back(axis);
        }
    }
    if (kept.empty() && !axes.empty()) {
        kept.push_back(axes.back());
    }
    return kept;
}

struct AxisCalibration {
    double scale = 1.0;
    double origin = 0.0;
    std::string units;
};

AxisCalibration calibration(const DmTags& imageData, std::size_t axis) {
    AxisCalibration result;
    const DmTags dimension = imageData.at("Calibrations/Dimension");
    if (!dimension.exists() || axis >= dimension.node()->childCount()) {
        return result;
    }
    const DmTags entry(dimension.node()->childAt(axis).get());
    result.scale = entry.number("Scale").value_or(1.0);
    result.origin = entry.number("Origin").value_or(0.0);
    result.units = entry.text("Units").value_or("");
    return result;
}

// The name of a spectrum's axis where the technique names it.
std::optional<std::string> spectrumAxisName(const ImageKind& kind, const std::string& units) {
    if (kind.signal == SignalKind::Eels && units == "eV") {
        return "Energy loss";
    }
    if (kind.signal == SignalKind::Cl && units == "nm") {
        return "Wavelength";
    }
    return std::nullopt;
}

json axesJson(const DmTags& imageData, const std::vector<std::size_t>& frameShape,
              const std::vector<std::size_t>& axes, const ImageKind& kind) {
    // A spectrum has one signal axis, the last; an image two; the others navigate.
    const bool spectrum = spectrumLike(kind) || axes.size() == 1;
    const std::size_t signalAxes = std::min<std::size_t>(spectrum ? 1 : 2, axes.size());
    const std::size_t navigationAxes = axes.size() - signalAxes;
    static const char* const names[] = {"x", "y", "z", "t", "u", "v", "w"};

    std::vector<std::string> axisNames(axes.size());
    // Spatial names run x, y, z from the last NumPy axis backwards, skipping a named spectrum axis.
    std::size_t nextName = 0;
    for (std::size_t i = axes.size(); i-- > 0;) {
        if (spectrum && i == axes.size() - 1) {
            if (std::optional<std::string> named =
                    spectrumAxisName(kind, calibration(imageData, axes[i]).units)) {
                axisNames[i] = *named;
                continue;
            }
        }
        axisNames[i] = nextName < std::size(names) ? names[nextName] : "axis" + std::to_string(nextName);
        ++nextName;
    }

    json result = json::array();
    for (std::size_t i = 0; i < axes.size(); ++i) {
        const AxisCalibration axis = calibration(imageData, axes[i]);
        // DM's origin is the pixel index of the zero of the calibrated axis; the offset is the
        // calibrated position of pixel 0.
        result.push_back({{"name", axisNames[i]},
                          {"units", axis.units},
                          {"scale", axis.scale},
                          {"offset", -axis.origin * axis.scale},
                          {"size", frameShape[axes[i]]},
                          {"navigate", i < navigationAxes}});
    }
    return result;
}

json generalJson(const DmTags& image, const DmTags& tags) {
    json general = json::object();
    put(general, "title", image.text("Name"));
    std::optional<std::string> date;
    std::optional<std::string> time;
    if (const std::optional<std::string> text = tags.text("DataBar/Acquisition Date")) {
        date = isoDate(*text);
        const std::optional<std::string> clock = tags.text("DataBar/Acquisition Time");
        time = clock ? isoTime(*clock) : std::nullopt;
    } else {
        // Spectrometers record their own acquisition date and start time.
        for (const char* group :
             {"EELS/Acquisition", "EDS/Acquisition", "CL/Acquisition", "SI/Acquisition"}) {
            const DmTags acquisition = tags.at(group);
            if (const std::optional<std::string> text = acquisition.text("Date")) {
                date = isoDate(*text);
                const std::optional<std::string> clock = acquisition.text("Start time");
                time = clock ? isoTime(*clock) : std::nullopt;
                break;
            }
        }
        // Serial CL acquisitions note only when they began, as one date-and-time text. Its date is
        // mapped; its time of day is not, to agree with the reader microscopists compare us with.
        if (!date) {
            if (const std::optional<std::string> text = tags.text("CL/Acquisition/Acquisition begin")) {
                date = isoDate(*text);
            }
        }
    }
    put(general, "date", date);
    put(general, "time", time);
    return general;
}

json signalJson(const DmTags& imageData, const ImageKind& kind) {
    json signal = json::object();
    switch (kind.signal) {
    case SignalKind::Eels:
        signal["signal_type"] = "EELS";
        signal["quantity"] = "Electrons (Counts)";
        break;
    case SignalKind::Eds:
        signal["signal_type"] = kind.sem ? "EDS_SEM" : "EDS_TEM";
        signal["quantity"] = "X-rays (Counts)";
        break;
    case SignalKind::Cl:
    case SignalKind::Other: {
        signal["signal_type"] = kind.signal == SignalKind::Cl ? "CL" : "";
        const std::optional<std::string> units = imageData.nonEmptyText("Calibrations/Brightness/Units");
        signal["quantity"] = units ? "Intensity (" + *units + ")" : "Intensity";
        break;
    }
    }
    // The CL keys name the acquisition's form (spectrum, image, spectrum image); for the other
    // techniques the signal type and the axes say it.
    if (kind.signal == SignalKind::Cl) {
        put(signal, "format", kind.format);
    }
    return signal;
}

json stageJson(const DmTags& stage) {
    json result = json::object();
    // DM gives the stage position in micrometres; it is mapped in millimetres.
    put(result, "x", scaled(stage.number("Stage X"), 1e-3));
    put(result, "y", scaled(stage.number("Stage Y"), 1e-3));
    put(result, "z", scaled(stage.number("Stage Z"), 1e-3));
    put(result, "tilt_alpha", stage.number("Stage Alpha"));
    put(result, "tilt_beta", stage.number("Stage Beta"));
    return result;
}

json microscopeJson(const DmTags& tags, const ImageKind& kind) {
    const DmTags info = tags.at("Microscope Info");
    json microscope = json::object();
    put(microscope, "beam_energy", scaled(info.number("Voltage"), 1e-3)); // V to kV
    put(microscope, "beam_current", info.number("Probe Current (nA)"));
    std::optional<std::string> name = tags.nonEmptyText("Session Info/Microscope");
    if (!name) {
        name = info.nonEmptyText("Microscope");
    }
    if (!name) {
        name = info.nonEmptyText("Name");
    }
    put(microscope, "microscope", name);

    const std::optional<std::string> operation = info.text("Operation Mode");
    if (operation) {
        microscope["acquisition_mode"] = kind.sem ? "SEM" : (*operation == "SCANNING" ? "STEM" : "TEM");
    }
    if (operation == "DIFFRACTION") {
        // In diffraction the indicated magnification is the camera length, in millimetres.
        put(microscope, "camera_length", info.number("Indicated Magnification"));
    } else {
        put(microscope, "magnification", info.number("Indicated Magnification"));
        if (operation == "SCANNING") {
            put(microscope, "camera_length", info.number("STEM Camera Length"));
        }
    }
    put(microscope, "dwell_time", scaled(tags.number("DigiScan/Sample Time"), 1e-6)); // us to s
    put(microscope, "convergence_angle",
        tags.number("EELS/Experimental Conditions/Convergence semi-angle (mrad)"));
    putObject(microscope, "Stage", stageJson(info.at("Stage Position")));

    json camera = json::object();
    put(camera, "exposure", tags.number("DataBar/Exposure Time (s)"));
    putObject(microscope, "Camera", std::move(camera));

    json detector = json::object();
    if (kind.signal == SignalKind::Eels) {
        json eels = json::object();
        put(eels, "aperture_size", leadingNumber(tags.text("EELS Spectrometer/Aperture label")));
        put(eels, "collection_angle",
            tags.number("EELS/Experimental Conditions/Collection semi-angle (mrad)"));
        put(eels, "exposure", tags.number("EELS/Acquisition/Integration time (s)"));
        put(eels, "frame_number", tags.value("EELS/Acquisition/Number of frames"));
        put(eels, "spectrometer", tags.text("EELS Spectrometer/Instrument name"));
        putObject(detector, "EELS", std::move(eels));
    } else if (kind.signal == SignalKind::Eds) {
        json eds = json::object();
        put(eds, "azimuth_angle", tags.number("EDS/Detector Info/Azimuthal angle"));
        put(eds, "elevation_angle", tags.number("EDS/Detector Info/Elevation angle"));
        put(eds, "live_time", tags.number("EDS/Live time"));
        put(eds, "real_time", tags.number("EDS/Real time"));
        putObject(detector, "EDS", std::move(eds));
    }
    putObject(microscope, "Detector", std::move(detector));
    return microscope;
}

// The CL detector: a CCD behind a spectrograph (parallel) or a photomultiplier (serial, or the
// panchromatic PMT of a Monarc).
json clDetectorJson(const DmTags& tags) {
    const DmTags cl = tags.at("CL/Acquisition");
    json detector = json::object();
    const std::optional<std::string> mode = tags.text("Meta Data/Acquisition Mode");
    if (mode == "Parallel dispersive") {
        detector["detector_type"] = "CCD";
    } else if (mode == "Serial dispersive") {
        detector["detector_type"] = "PMT";
    }
    std::optional<double> integration = cl.number("Integration time (s)");
    if (!integration) {
        integration = cl.number("Dwell time (s)");
    }
    if (!integration) {
        const std::optional<double> exposure = cl.number("Exposure (s)");
        const std::optional<double> frames = cl.number("Number of frames");
        if (exposure && frames) {
            integration = *exposure * *frames;
        }
    }
    put(detector, "integration_time", integration);
    put(detector, "exposure_per_frame", cl.number("Exposure (s)"));
    put(detector, "frames", cl.value("Number of frames"));
    put(detector, "saturation_fraction", cl.value("Saturation fraction"));
    put(detector, "pixel_size", tags.number("Acquisition/Device/CCD/Pixel Size (um)/Field0"));
    put(detector, "binning", tags.fields("Acquisition/Parameters/High Level/Binning"));
    put(detector, "sensor_roi", tags.fields("Acquisition/Parameters/High Level/CCD Read Area"));
    put(detector, "processing", tags.text("Acquisition/Parameters/High Level/Processing"));
    put(detector, "pmt_voltage", tags.number("Acquisition/Monarc Spectrometer/PMT HV"));
    return detector;
}

json clSpectrometerJson(const DmTags& tags) {
    const DmTags cl = tags.at("CL/Acquisition");
    const DmTags monarc = tags.at("Acquisition/Monarc Spectrometer");
    json spectrometer = json::object();
    json grating = json::object();
    std::optional<json> grooves = cl.child("Dispersion grating (lines/mm)").value("");
    if (!grooves) {
        const std::optional<double> monarcGrating = leadingNumber(monarc.text("Grating"));
        grooves = monarcGrating ? std::optional<json>(*monarcGrating) : std::nullopt;
    }
    put(grating, "groove_density", grooves);
    putObject(spectrometer, "Grating", std::move(grating));
    put(spectrometer, "acquisition_mode", tags.text("Meta Data/Acquisition Mode"));
    put(spectrometer, "central_wavelength", cl.number("Central wavelength (nm)"));
    put(spectrometer, "start_wavelength", cl.number("Start wavelength (nm)"));
    put(spectrometer, "step_size", cl.number("Step-size (nm)"));
    put(spectrometer, "bandpass", monarc.number("Bandpass"));
    put(spectrometer, "entrance_slit_width", monarc.number("Slit Width"));
    return spectrometer;
}

json spectrumImageJson(const DmTags& tags) {
    const DmTags si = tags.at("SI/Acquisition");
    json result = json::object();
    put(result, "mode", si.text("SI Application Mode/Name"));
    put(result, "drift_correction_periodicity", si.value("Artefact Correction/Spatial Drift/Periodicity"));
    put(result, "drift_correction_units", si.text("Artefact Correction/Spatial Drift/Units"));
    return result;
}

json instrumentJson(const DmTags& tags, const ImageKind& kind) {
    json instrument = json::object();
    putObject(instrument, kind.sem ? "SEM" : "TEM", microscopeJson(tags, kind));
    if (kind.signal == SignalKind::Cl) {
        putObject(instrument, "Detector", clDetectorJson(tags));
        putObject(instrument, "Spectrometer", clSpectrometerJson(tags));
    }
    putObject(instrument, "Spectrum_image", spectrumImageJson(tags));
    return instrument;
}

const velmora::MetadataNode* imageList(const velmora::MetadataNode& root) {
    return DmTags(&root).at("GATAN/ImageList").node();
}

} // namespace

FrameRoles frameRoles(const velmora::MetadataNode& root, std::size_t frameCount) {
    FrameRoles roles;
    roles.thumbnail.assign(frameCount, false);
    if (const velmora::MetadataNode* thumbnails = DmTags(&root).at("GATAN/Thumbnails").node()) {
        for (const std::shared_ptr<velmora::MetadataNode>& entry : *thumbnails) {
            const std::optional<double> index = DmTags(entry.get()).number("ImageIndex");
            if (index && *index >= 0 && *index < static_cast<double>(frameCount)) {
                roles.thumbnail[static_cast<std::size_t>(*index)] = true;
            }
        }
    }
    for (std::size_t i = 0; i < frameCount; ++i) {
        if (!roles.thumbnail[i]) {
            roles.main = i;
            break;
        }
    }
    return roles;
}

MappedSignal mapSignal(const velmora::MetadataNode& root, std::size_t frame,
                       const std::vector<std::size_t>& frameShape) {
    const velmora::MetadataNode* list = imageList(root);
    if (list == nullptr || frame >= list->childCount()) {
        throw velmora::Error("the tree has no ImageList entry " + std::to_string(frame));
    }
    const DmTags image(list->childAt(frame).get());
    const DmTags imageData = image.at("ImageData");
    const DmTags tags = image.at("ImageTags");
    const ImageKind kind = imageKind(tags);

    MappedSignal signal;
    signal.frame = frame;
    signal.frameAxes = numpyAxes(frameShape, kind);
    json shape = json::array();
    for (std::size_t axis : signal.frameAxes) {
        shape.push_back(frameShape[axis]);
    }
    signal.json = {{"frame", frame},
                   {"shape", std::move(shape)},
                   {"axes", axesJson(imageData, frameShape, signal.frameAxes, kind)},
                   {"General", generalJson(image, tags)},
                   {"Signal", signalJson(imageData, kind)},
                   {"Acquisition_instrument", instrumentJson(tags, kind)}};
    return signal;
}

std::vector<MappedSignal> mapSignals(velmora::MultiImageView& file) {
    std::vector<MappedSignal> signals;
    const std::shared_ptr<velmora::MetadataNode> root = file.metadata();
    if (!root) {
        return signals;
    }
    const std::size_t frameCount = file.frameCount();
    const FrameRoles roles = frameRoles(*root, frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) {
        if (!roles.isThumbnail(i)) {
            signals.push_back(mapSignal(*root, i, file.frame(i)->shape().values()));
        }
    }
    return signals;
}

nlohmann::json signalsJson(velmora::MultiImageView& file) {
    json result = json::array();
    for (MappedSignal& signal : mapSignals(file)) {
        result.push_back(std::move(signal.json));
    }
    return result;
}

} // namespace trestan::gatan
