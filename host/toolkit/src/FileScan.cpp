#include "trestan/toolkit/FileScan.h"

#include "trestan/toolkit/FormatRegistry.h"
#include "trestan/toolkit/HostFile.h"
#include "trestan/toolkit/JsonDocumentWriter.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <glob.h>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>

namespace trestan::toolkit {

namespace {

namespace fs = std::filesystem;

// True when a registered format claims the extension of `path`.
bool isFormatFile(const fs::path& path) {
    return FormatRegistry::instance().forPath(path.filename().string()) != nullptr;
}

// Adds the files of the registered formats below `top` to `files`, in name order. A folder that cannot be
// listed (no permission, removed meanwhile) takes its place among them, so that the scan reports it like a
// file that cannot be opened. Links to folders are not followed.
void walkDirectory(const fs::path& top, std::vector<std::string>& files) {
    std::vector<std::string> found;
    std::vector<fs::path> pending{top};
    while (!pending.empty()) {
        const fs::path directory = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        fs::directory_iterator it(directory, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            std::error_code typeError;
            if (it->is_directory(typeError) && !it->is_symlink(typeError)) {
                pending.push_back(it->path());
            } else if (it->is_regular_file(typeError) && isFormatFile(it->path())) {
                found.push_back(it->path().string());
            }
        }
        if (error) {
            found.push_back(directory.string());
        }
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

// Puts `values` into `place` as an array, built in place: a temporary array that an allocation
// failure leaves behind needs memory to be freed.
template <typename Values> void putArray(nlohmann::ordered_json& place, const Values& values) {
    place = nlohmann::ordered_json::array();
    for (const auto& value : values) {
        place.push_back(value);
    }
}

void addMainKeys(const nlohmann::json& signal, nlohmann::ordered_json& keys) {
    keys["frame"] = signal.at("frame");
    putArray(keys["shape"], signal.at("shape").get<std::vector<std::size_t>>());
    const nlohmann::json& general = signal.at("General");
    for (const char* key : {"title", "date", "time"}) {
        if (general.contains(key)) {
            keys[key] = general[key].get<std::string>();
        }
    }
    keys["signal_type"] = signal.at("Signal").value("signal_type", "");
    for (const auto& [kind, microscope] : signal.at("Acquisition_instrument").items()) {
        if (kind != "TEM" && kind != "SEM") {
            continue;
        }
        keys["microscope_type"] = kind;
        for (const char* key : {"microscope", "acquisition_mode", "beam_energy", "magnification",
                                "camera_length", "dwell_time"}) {
            if (microscope.contains(key)) {
                keys[key] = nlohmann::ordered_json(microscope[key]);
            }
        }
    }
}

// Empties `value` from its leaves up. nlohmann's destructor moves the children of an array or an
// object to a heap-allocated stack before it frees them, so it needs memory, and one that finds none
// ends the process; a value emptied leaf-first has no children left to move.
template <typename Json> void dismantle(Json& value) noexcept {
    if (value.is_structured()) {
        for (Json& child : value) {
            dismantle(child);
        }
        value.clear();
    }
}

// Dismantles a value when its scope ends, on an exception too.
template <typename Json> class DismantleAtExit {
public:
    explicit DismantleAtExit(Json& value) : m_value(value) {}
    ~DismantleAtExit() { dismantle(m_value); }
    DismantleAtExit(const DismantleAtExit&) = delete;
    DismantleAtExit& operator=(const DismantleAtExit&) = delete;

private:
    Json& m_value;
};

nlohmann::ordered_json mainKeys(const nlohmann::json& signal) {
    nlohmann::ordered_json keys = nlohmann::ordered_json::object();
    try {
        addMainKeys(signal, keys);
    } catch (...) {
        dismantle(keys);
        throw;
    }
    return keys;
}

} // namespace

std::string dumpScanRecord(const nlohmann::ordered_json& record) {
    std::ostringstream out;
    JsonDocumentWriter(JsonDocumentWriter::Layout::Compact,
                       JsonDocumentWriter::InvalidBytes::SurrogateEscapes)
        .write(out, record);
    std::string text = std::move(out).str();
    text.pop_back(); // the document's newline
    return text;
}

ScanRecord& ScanRecord::operator=(ScanRecord&& other) noexcept {
    dismantle(record);
    record = std::move(other.record);
    failed = other.failed;
    return *this;
}

ScanRecord::~ScanRecord() {
    dismantle(record);
}

std::vector<std::string> expandScanPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (fs::is_directory(status)) {
            walkDirectory(path, files);
            continue;
        }
        if (fs::exists(status) || path.find_first_of("*?[") == std::string::npos) {
            files.push_back(path);
            continue;
        }
        glob_t matches{};
        if (::glob(path.c_str(), 0, nullptr, &matches) == 0) {
            for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string match = matches.gl_pathv[i];
                if (fs::is_directory(match, error)) {
                    walkDirectory(match, files);
                } else {
                    files.push_back(match);
                }
            }
        } else {
            files.push_back(path); // nothing matched: reported as a file that does not exist
        }
        ::globfree(&matches);
    }
    return files;
}

ScanRecord scanFile(PluginHost& host, const std::string& path) {
    // Objects are made whole before members go in: nlohmann turns a null value into an object as it
    // inserts the first member, and a failure to allocate there leaves a value its destructor
    // crashes on.
    ScanRecord result;
    result.record = nlohmann::ordered_json::object();
    result.record["path"] = path;
    std::error_code statusError;
    const fs::file_status status = fs::status(path, statusError);
    if (fs::is_directory(status)) {
        // Listed among the files only when the walk could not list it.
        std::error_code listError;
        const fs::directory_iterator listing(path, listError);
        result.record["error"] =
            listError ? "cannot list the folder: " + listError.message() : std::string("is a folder");
        result.failed = true;
        return result;
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        result.record["error"] = "not a regular file";
        result.failed = true;
        return result;
    }
    std::error_code sizeError;
    const std::uintmax_t size = fs::file_size(path, sizeError);
    if (sizeError) {
        result.record["error"] = sizeError.message();
        result.failed = true;
        return result;
    }
    result.record["size"] = size;
    try {
        // The index: the tags and where the pixels lie, whatever their size; no pixel is read.
        const HostFile file = HostFile::open(host, path);
        const FileIndex& index = file.index();
        result.record["format"] = file.format();
        const FrameRoles roles = file.roles();
        nlohmann::ordered_json frames = nlohmann::ordered_json::array();
        const DismantleAtExit framesAtExit(frames);
        for (const IndexedFrame& frame : index.frames) {
            nlohmann::ordered_json entry = nlohmann::ordered_json::object();
            const DismantleAtExit entryAtExit(entry);
            entry["index"] = frame.index;
            putArray(entry["shape"], frame.shape);
            entry["type"] = frame.dataType.name();
            const velmora::SpatialCalibrationProperty& calibration = frame.properties.calibration();
            // Built in place: a nested temporary that fails halfway needs memory to be freed.
            nlohmann::ordered_json& place = entry["calibration"] = nlohmann::ordered_json::object();
            putArray(place["origin"], calibration.origin());
            putArray(place["spacing"], calibration.spacing());
            place["unit"] = calibration.unit();
            entry["thumbnail"] = roles.isThumbnail(frame.index);
            if (frame.truncated()) {
                entry["truncated"] = true;
                entry["bytes"] = frame.byteCount;
                entry["bytesInFile"] = *frame.bytesInFile;
            }
            frames.push_back(std::move(entry));
        }
        result.record["frames"] = std::move(frames);
        if (roles.main && file.support() != nullptr) {
            result.record["main"] = *roles.main;
            if (std::optional<MappedImage> image = file.support()->mapImage(index, *roles.main)) {
                const DismantleAtExit imageAtExit(image->json);
                nlohmann::ordered_json keys = mainKeys(image->json);
                const DismantleAtExit keysAtExit(keys);
                // Swapped into a member made first, so that a failure to make it leaves the keys
                // to be dismantled.
                result.record["metadata"] = nlohmann::ordered_json::object();
                result.record["metadata"].swap(keys);
            }
        }
    } catch (const std::bad_alloc&) {
        result.record["error"] = "out of memory";
        result.failed = true;
    } catch (const std::exception& error) {
        result.record["error"] = error.what();
        result.failed = true;
    }
    return result;
}

std::size_t scanWorkers(std::size_t jobs, std::size_t fileCount) {
    const std::size_t cores = std::max(1U, std::thread::hardware_concurrency());
    if (jobs == 0) {
        jobs = cores;
    }
    return std::max<std::size_t>(1, std::min({jobs, cores * MaximumWorkersPerCore, fileCount}));
}

namespace {

// The outcome of one file: its record, or what escaped scanFile (memory exhausted, say).
struct ScanSlot {
    ScanRecord record;
    std::exception_ptr failure;
    bool done = false;
};

ScanSlot scanSlot(PluginHost& host, const std::string& path) noexcept {
    ScanSlot slot;
    try {
        slot.record = scanFile(host, path);
    } catch (...) {
        slot.failure = std::current_exception();
    }
    slot.done = true;
    return slot;
}

// The record of a file whose scan failed outside what scanFile reports; made on the consuming
// thread, where a failure to make it ends the scan with an exception instead of ending the process.
ScanRecord failureRecord(const std::string& path, const std::exception_ptr& failure) {
    ScanRecord result;
    result.record = nlohmann::ordered_json::object();
    result.record["path"] = path;
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        result.record["error"] = "out of memory";
    } catch (const std::exception& error) {
        result.record["error"] = error.what();
    } catch (...) {
        result.record["error"] = "unknown failure";
    }
    result.failed = true;
    return result;
}

} // namespace

ScanThreads scanFiles(PluginHost& host, const std::vector<std::string>& files, std::size_t jobs,
                      const std::function<void(std::size_t index, ScanRecord&& record)>& consume) {
    host.registry(); // scanned once here, read-only from the workers
    ScanThreads threads;
    threads.wanted = scanWorkers(jobs, files.size());

    // Workers take files in turn; records are handed over in file order as they become ready.
    std::vector<ScanSlot> slots(files.size());
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<std::jthread> workers;
    // Leaving early (consume threw) stops the workers at their next file; they are joined next.
    struct StopWorkers {
        std::atomic<std::size_t>& next;
        std::size_t end;
        ~StopWorkers() { next = end; }
    } stopWorkers{next, files.size()};
    try {
        workers.reserve(threads.wanted);
        while (workers.size() < threads.wanted) {
            workers.emplace_back([&] {
                for (std::size_t i = next++; i < files.size(); i = next++) {
                    ScanSlot slot = scanSlot(host, files[i]);
                    {
                        const std::lock_guard lock(mutex);
                        slots[i] = std::move(slot);
                    }
                    ready.notify_all();
                }
            });
        }
    } catch (const std::exception& error) {
        // No more threads (a thread limit, an address-space limit): the scan goes on with those
        // that started, or on this thread alone.
        threads.failure = error.what();
    }
    threads.started = workers.size();

    for (std::size_t i = 0; i < files.size(); ++i) {
        ScanSlot slot;
        if (workers.empty()) {
            slot = scanSlot(host, files[i]);
        } else {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return slots[i].done; });
            slot = std::move(slots[i]);
            slots[i] = ScanSlot{};
        }
        consume(i, slot.failure ? failureRecord(files[i], slot.failure) : std::move(slot.record));
    }
    return threads;
}

} // namespace trestan::toolkit
