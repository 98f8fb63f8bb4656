#include "trestan/gatan/DmMetadata.h"

#include "DmTags.h"
#include "trestan/gatan/DmDateTime.h"
#include "velmora/Error.h"

#include <algorithm>
#include <array>
#include <cctype>
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

std::string upperCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The microscope the image was taken in, from its illumination and operation modes. An
// illumination mode whose name holds "SEM" (and not "STEM") is a scanning electron microscope's.
// Otherwise a scanning mode makes it STEM: an illumination mode naming STEM or scanning
// ("STEM NANOPROBE", "HRSTEM"), or a scanning operation mode. Any other illumination mode, or an
// imaging or diffraction operation mode, is a TEM's.
enum class Mode { Unknown, Tem, Stem, Sem };

Mode microscopeMode(const TagSet& tags) {
    const std::string illumination =
        upperCase(tags.nonEmptyText("Microscope Info/Illumination Mode").value_or(""));
    const std::string operation = upperCase(tags.nonEmptyText("Microscope Info/Operation Mode").value_or(""));
    const auto names = [](const std::string& mode, const char* word) {
        return mode.find(word) != std::string::npos;
    };
    if (names(illumination, "SEM") && !names(illumination, "STEM")) {
        return Mode::Sem;
    }
    if (names(illumination, "STEM") || names(illumination, "SCAN") || names(operation, "STEM") ||
        names(operation, "SCAN")) {
        return Mode::Stem;
    }
    if (!illumination.empty() || operation == "IMAGING" || operation == "DIFFRACTION") {
        return Mode::Tem;
    }
    return Mode::Unknown;
}

// What the acquisition software says the image is: the "Meta Data" directory that GMS writes, and
// the CL detector settings that a Monarc spectrometer adds to images taken through it.
enum class SignalKind { Other, Eels, Eds, Cl };

struct ImageKind {
    SignalKind signal = SignalKind::Other;
    Mode mode = Mode::Unknown;
    std::optional<std::string> format;
    // A DigiScan directory: the image, or the spectra, were acquired point by point by a scan.
    bool scanned = false;

    bool spectrometer() const { return signal != SignalKind::Other; }
};

ImageKind imageKind(const TagSet& tags) {
    ImageKind kind;
    kind.format = tags.nonEmptyText("Meta Data/Format");
    const std::optional<std::string> signal = tags.text("Meta Data/Signal");
    if (signal == "EELS") {
        kind.signal = SignalKind::Eels;
    } else if (signal == "X-ray") {
        kind.signal = SignalKind::Eds;
    } else if (signal == "CL" || tags.has("Acquisition/Monarc Spectrometer")) {
        kind.signal = SignalKind::Cl;
    }
    kind.mode = microscopeMode(tags);
    kind.scanned = tags.has("DigiScan");
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

// Whether frame axis `axis` of an image of `axisCount` axes is a signal axis (the others navigate),
// as HyperSpy assigns them: a spectrum image's spectrum is its last axis (a line scan of two axes:
// axis 0), a spectrum's axis 0 when it has two axes, and every other image (a stack, a 4-D scan of
// detector frames, a spectrum of more than two axes) has its first two axes as the signal, an image.
// Roles are given before axes of length 1 are dropped, so a dropped axis takes its role with it.
bool signalAxis(std::size_t axis, std::size_t axisCount, const ImageKind& kind) {
    if (axisCount == 1) {
        return true;
    }
    if (kind.format == "Spectrum image" && axisCount >= 3) {
        return axis == axisCount - 1;
    }
    if (spectrumLike(kind) && axisCount == 2) {
        return axis == 0;
    }
    return axis < 2;
}

// The names of the frame axes, as HyperSpy names them: the last axis whose unit is the technique's
// spectral unit is the spectrum ("Energy loss", "Wavelength"), the others are x, y and z in frame
// order. Axes past the third of those have no name (empty).
std::vector<std::string> axisNames(const DmTags& imageData, std::size_t axisCount, const ImageKind& kind) {
    std::vector<std::string> names(axisCount);
    std::optional<std::size_t> spectral;
    for (std::size_t axis = axisCount; axis-- > 0 && !spectral;) {
        if (std::optional<std::string> named = spectrumAxisName(kind, calibration(imageData, axis).units)) {
            names[axis] = *named;
            spectral = axis;
        }
    }
    static const char* const spatial[] = {"x", "y", "z"};
    std::size_t next = 0;
    for (std::size_t axis = 0; axis < axisCount; ++axis) {
        if (axis != spectral && next < std::size(spatial)) {
            names[axis] = spatial[next++];
        }
    }
    return names;
}

json axesJson(const DmTags& imageData, const std::vector<std::size_t>& frameShape,
              const std::vector<std::size_t>& axes, const ImageKind& kind) {
    const std::vector<std::string> names = axisNames(imageData, frameShape.size(), kind);
    json result = json::array();
    for (const std::size_t frameAxis : axes) {
        const AxisCalibration axis = calibration(imageData, frameAxis);
        json entry = json::object();
        if (!names[frameAxis].empty()) {
            entry["name"] = names[frameAxis];
        }
        // DM's origin is the pixel index of the zero of the calibrated axis; the offset is the
        // calibrated position of pixel 0.
        entry["units"] = axis.units;
        entry["scale"] = axis.scale;
        entry["offset"] = -axis.origin * axis.scale;
        entry["size"] = frameShape[frameAxis];
        entry["navigate"] = !signalAxis(frameAxis, frameShape.size(), kind);
        result.push_back(std::move(entry));
    }
    return result;
}

// A directory that records when an acquisition was made: the tags of its date and of its start
// time. GMS writes the date an image was taken in "DataBar", and each spectrometer and the
// spectrum-image acquisition their own.
struct DateSource {
    const char* group;
    // One or two date tags, the preferred first.
    std::array<const char*, 2> dates;
    const char* time;
};

// Where the date and time are read, the first that holds a valid one first: the group of the
// image's technique before the spectrum image's before the data bar, except for CL, whose data bar
// comes first. Serial CL acquisitions note only when they began, as one date-and-time text: its
// date is read, its time of day is not (the start time is read from "Start time" alone).
std::vector<DateSource> dateSources(SignalKind signal) {
    const DateSource dataBar{"DataBar", {"Acquisition Date", nullptr}, "Acquisition Time"};
    const DateSource eels{"EELS/Acquisition", {"Date", nullptr}, "Start time"};
    const DateSource eds{"EDS/Acquisition", {"Date", nullptr}, "Start time"};
    const DateSource cl{"CL/Acquisition", {"Acquisition begin", "Date"}, "Start time"};
    const DateSource si{"SI/Acquisition", {"Date", nullptr}, "Start time"};
    switch (signal) {
    case SignalKind::Eels:
        return {eels, si, dataBar, eds, cl};
    case SignalKind::Eds:
        return {eds, si, dataBar, eels, cl};
    case SignalKind::Cl:
        return {dataBar, cl, si, eels, eds};
    case SignalKind::Other:
        break;
    }
    return {si, dataBar, eels, eds, cl};
}

json generalJson(const DmTags& image, const TagSet& tags, const ImageKind& kind) {
    json general = json::object();
    general["title"] = image.text("Name").value_or("");
    std::optional<std::string> date;
    std::optional<std::string> time;
    const std::vector<DateSource> sources = dateSources(kind.signal);
    for (const DmTags& directory : tags.directories()) {
        for (const DateSource& source : sources) {
            const DmTags group = directory.at(source.group);
            for (const char* tag : source.dates) {
                if (const std::optional<std::string> text = date || !tag ? std::nullopt : group.text(tag)) {
                    date = isoDate(*text);
                }
            }
            if (const std::optional<std::string> text = time ? std::nullopt : group.text(source.time)) {
                time = isoTime(*text);
            }
        }
    }
    put(general, "date", date);
    put(general, "time", time);
    put(general, "authors", tags.nonEmptyText({"Session Info/Operator", "Microscope Info/Operator"}));
    return general;
}

json sampleJson(const TagSet& tags) {
    json sample = json::object();
    put(sample, "description", tags.nonEmptyText({"Session Info/Specimen", "Microscope Info/Specimen"}));
    return sample;
}

json signalJson(const DmTags& imageData, const ImageKind& kind) {
    json signal = json::object();
    switch (kind.signal) {
    case SignalKind::Eels:
        signal["signal_type"] = "EELS";
        break;
    case SignalKind::Eds:
        signal["signal_type"] = kind.mode == Mode::Sem ? "EDS_SEM" : "EDS_TEM";
        break;
    case SignalKind::Cl:
        signal["signal_type"] = "CL";
        break;
    case SignalKind::Other:
        signal["signal_type"] = "";
        break;
    }
    // The intensity calibration: its unit names the quantity ("e-" is a count of electrons, or of
    // X-rays in an X-ray spectrum), and its scale and origin are the gain and offset of the noise's
    // variance.
    const DmTags brightness = imageData.at("Calibrations/Brightness");
    if (const std::optional<std::string> units = brightness.text("Units")) {
        const bool electrons = *units == "e-";
        const std::string measured = kind.signal == SignalKind::Eds ? "X-rays"
                                     : electrons                    ? "Electrons"
                                                                    : "Intensity";
        const std::string unit = electrons ? "Counts" : *units;
        signal["quantity"] = unit.empty() ? measured : measured + " (" + unit + ")";
    }
    json variance = json::object();
    put(variance, "gain_factor", brightness.number("Scale"));
    put(variance, "gain_offset", brightness.number("Origin"));
    if (!variance.empty()) {
        signal["Noise_properties"] = {{"Variance_linear_model", std::move(variance)}};
    }
    // The CL keys name the acquisition's form (spectrum, image, spectrum image); for the other
    // techniques the signal type and the axes say it.
    if (kind.signal == SignalKind::Cl) {
        put(signal, "format", kind.format);
    }
    return signal;
}

json stageJson(const TagSet& tags) {
    json result = json::object();
    // DM gives the stage position in micrometres; it is mapped in millimetres.
    put(result, "x", scaled(tags.number("Microscope Info/Stage Position/Stage X"), 1e-3));
    put(result, "y", scaled(tags.number("Microscope Info/Stage Position/Stage Y"), 1e-3));
    put(result, "z", scaled(tags.number("Microscope Info/Stage Position/Stage Z"), 1e-3));
    put(result, "tilt_alpha", tags.number("Microscope Info/Stage Position/Stage Alpha"));
    put(result, "tilt_beta", tags.number("Microscope Info/Stage Position/Stage Beta"));
    return result;
}

// Camera length and magnification. In TEM diffraction the indicated magnification is the camera
// length, in millimetres; the microscope says it is in diffraction by its imaging mode, or without
// one by its operation mode. In every other mode the indicated magnification is the magnification,
// and the STEM camera length is the camera length unless the beam is a TEM's.
void opticsJson(json& microscope, const TagSet& tags, const ImageKind& kind) {
    const std::optional<std::string> imaging = tags.nonEmptyText("Microscope Info/Imaging Mode");
    const std::optional<std::string> operation = tags.nonEmptyText("Microscope Info/Operation Mode");
    const std::optional<std::string> projector = imaging ? imaging : operation;
    const bool diffraction = kind.mode == Mode::Tem && projector && upperCase(*projector) == "DIFFRACTION";
    const std::optional<double> indicated = tags.number("Microscope Info/Indicated Magnification");
    if (diffraction) {
        put(microscope, "camera_length", indicated);
        return;
    }
    put(microscope, "magnification", indicated);
    if (kind.mode != Mode::Tem) {
        put(microscope, "camera_length", tags.number("Microscope Info/STEM Camera Length"));
    }
}

// The time the beam spends on one pixel: DigiScan's sample time (microseconds) for images it
// scanned, else a spectrum image's pixel time. An EELS or X-ray spectrum's DigiScan time describes
// the scan beside it (a survey image) rather than its own, and a CL spectrum's time per pixel is its
// detector's integration time: neither is mapped here.
std::optional<double> dwellTime(const TagSet& tags, const ImageKind& kind) {
    std::optional<double> dwell;
    if (kind.signal != SignalKind::Eels && kind.signal != SignalKind::Eds) {
        dwell = scaled(tags.number("DigiScan/Sample Time"), 1e-6);
    }
    if (!dwell && kind.signal != SignalKind::Cl && kind.format == "Spectrum image") {
        dwell = tags.number("SI/Acquisition/Pixel time (s)");
    }
    return dwell;
}

json microscopeJson(const TagSet& tags, const ImageKind& kind) {
    json microscope = json::object();
    put(microscope, "beam_energy", scaled(tags.number("Microscope Info/Voltage"), 1e-3)); // V to kV
    put(microscope, "beam_current", tags.number("Microscope Info/Probe Current (nA)"));
    put(microscope, "microscope",
        tags.nonEmptyText({"Session Info/Microscope", "Microscope Info/Name", "Microscope Info/Microscope"}));
    static const char* const modes[] = {nullptr, "TEM", "STEM", "SEM"};
    if (const char* mode = modes[static_cast<int>(kind.mode)]) {
        microscope["acquisition_mode"] = mode;
    }
    opticsJson(microscope, tags, kind);
    put(microscope, "dwell_time", dwellTime(tags, kind));
    putObject(microscope, "Stage", stageJson(tags));

    // A camera's exposure, for images a camera took: not for spectra, whose detectors have keys of
    // their own, nor for scanned images.
    if (!kind.spectrometer() && !kind.scanned) {
        json camera = json::object();
        put(camera, "exposure",
            tags.number({"Acquisition/Parameters/Detector/exposure (s)", "DataBar/Exposure Time (s)",
                         "Acquisition/Parameters/High Level/Exposure (s)"}));
        putObject(microscope, "Camera", std::move(camera));
    }

    json detector = json::object();
    if (kind.signal == SignalKind::Eels) {
        put(microscope, "convergence_angle",
            tags.number("EELS/Experimental Conditions/Convergence semi-angle (mrad)"));
        json eels = json::object();
        put(eels, "aperture_size", leadingNumber(tags.text("EELS Spectrometer/Aperture label")));
        put(eels, "collection_angle",
            tags.number("EELS/Experimental Conditions/Collection semi-angle (mrad)"));
        // The integration time of one spectrum: in a scan, the time spent on each pixel.
        put(eels, kind.scanned ? "dwell_time" : "exposure",
            tags.number("EELS/Acquisition/Integration time (s)"));
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
json clDetectorJson(const TagSet& tags) {
    json detector = json::object();
    const std::optional<std::string> mode = tags.text("Meta Data/Acquisition Mode");
    if (mode == "Parallel dispersive") {
        detector["detector_type"] = "CCD";
    } else if (mode == "Serial dispersive") {
        detector["detector_type"] = "PMT";
    }
    const std::optional<double> exposure = tags.number("CL/Acquisition/Exposure (s)");
    std::optional<double> integration =
        tags.number({"CL/Acquisition/Integration time (s)", "CL/Acquisition/Dwell time (s)"});
    if (!integration && exposure) {
        // Frames of the same exposure, one when the file does not say.
        integration = *exposure * tags.number("CL/Acquisition/Number of frames").value_or(1.0);
    }
    put(detector, "integration_time", integration);
    put(detector, "exposure_per_frame", exposure);
    put(detector, "frames", tags.value("CL/Acquisition/Number of frames"));
    put(detector, "saturation_fraction", tags.value("CL/Acquisition/Saturation fraction"));
    put(detector, "pixel_size", tags.number("Acquisition/Device/CCD/Pixel Size (um)/Field0"));
    put(detector, "binning", tags.fields("Acquisition/Parameters/High Level/Binning"));
    put(detector, "sensor_roi", tags.fields("Acquisition/Parameters/High Level/CCD Read Area"));
    put(detector, "processing", tags.text("Acquisition/Parameters/High Level/Processing"));
    put(detector, "pmt_voltage", tags.number("Acquisition/Monarc Spectrometer/PMT HV"));
    return detector;
}

json clSpectrometerJson(const TagSet& tags) {
    json spectrometer = json::object();
    json grating = json::object();
    // The grating's tag name holds a '/', so it is looked up as one name.
    std::optional<json> grooves;
    for (const DmTags& directory : tags.directories()) {
        if (!grooves) {
            grooves = directory.at("CL/Acquisition").child("Dispersion grating (lines/mm)").value("");
        }
    }
    if (!grooves) {
        const std::optional<double> monarcGrating =
            leadingNumber(tags.text("Acquisition/Monarc Spectrometer/Grating"));
        grooves = monarcGrating ? std::optional<json>(*monarcGrating) : std::nullopt;
    }
    put(grating, "groove_density", grooves);
    putObject(spectrometer, "Grating", std::move(grating));
    put(spectrometer, "acquisition_mode", tags.text("Meta Data/Acquisition Mode"));
    put(spectrometer, "central_wavelength", tags.number("CL/Acquisition/Central wavelength (nm)"));
    put(spectrometer, "start_wavelength", tags.number("CL/Acquisition/Start wavelength (nm)"));
    put(spectrometer, "step_size", tags.number("CL/Acquisition/Step-size (nm)"));
    put(spectrometer, "bandpass", tags.number("Acquisition/Monarc Spectrometer/Bandpass"));
    put(spectrometer, "entrance_slit_width", tags.number("Acquisition/Monarc Spectrometer/Slit Width"));
    return spectrometer;
}

json spectrumImageJson(const TagSet& tags) {
    json result = json::object();
    put(result, "mode", tags.text("SI/Acquisition/SI Application Mode/Name"));
    put(result, "drift_correction_periodicity",
        tags.value("SI/Acquisition/Artefact Correction/Spatial Drift/Periodicity"));
    put(result, "drift_correction_units",
        tags.text("SI/Acquisition/Artefact Correction/Spatial Drift/Units"));
    return result;
}

json instrumentJson(const TagSet& tags, const ImageKind& kind) {
    json instrument = json::object();
    putObject(instrument, kind.mode == Mode::Sem ? "SEM" : "TEM", microscopeJson(tags, kind));
    if (kind.signal == SignalKind::Cl) {
        putObject(instrument, "Detector", clDetectorJson(tags));
        putObject(instrument, "Spectrometer", clSpectrometerJson(tags));
    }
    putObject(instrument, "Spectrum_image", spectrumImageJson(tags));
    return instrument;
}

// Whether a directory holds what an acquisition records about an image: the microscope's state,
// the session's names, or the data bar's date.
bool holdsAcquisitionRecord(const DmTags& directory) {
    return directory.child("Microscope Info").exists() || directory.child("Session Info").exists() ||
           directory.at("DataBar/Acquisition Date").exists();
}

// An image made from other images (a stack, a sum, a processed copy) keeps what its sources
// recorded in directories of its own "ImageTags", whatever the program that made it named them.
// They are found by what they hold, within three levels, in order, the first source first; GMS's
// own state of the data bar ("Private") is no source.
std::vector<DmTags> sourceRecords(const DmTags& imageTags) {
    std::vector<DmTags> found;
    std::vector<DmTags> level{imageTags};
    for (int depth = 0; depth < 3 && !level.empty(); ++depth) {
        std::vector<DmTags> next;
        for (const DmTags& directory : level) {
            for (const std::shared_ptr<velmora::MetadataNode>& child : *directory.node()) {
                if (child->childCount() == 0 || (depth == 0 && child->name() == "Private")) {
                    continue;
                }
                const DmTags candidate(child.get());
                (holdsAcquisitionRecord(candidate) ? found : next).push_back(candidate);
            }
        }
        level = std::move(next);
    }
    return found;
}

TagSet imageTagSet(const DmTags& imageTags) {
    std::vector<DmTags> directories{imageTags};
    if (imageTags.exists()) {
        for (const DmTags& source : sourceRecords(imageTags)) {
            directories.push_back(source);
        }
    }
    return TagSet(std::move(directories));
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
    const TagSet tags = imageTagSet(image.at("ImageTags"));
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
                   {"General", generalJson(image, tags, kind)},
                   {"Sample", sampleJson(tags)},
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
