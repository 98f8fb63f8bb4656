#include "ExportCommand.h"

#include "CommandLineError.h"
#include "FrameReader.h"
#include "FrameWriter.h"
#include "OptionChecks.h"
#include "StagedOutput.h"
#include "velmora/Error.h"

#include <iostream>

namespace trestan::cli {

namespace {

// Bytes of a frame's pixels, as many as 64 bits hold.
std::uint64_t pixelBytes(const toolkit::IndexedFrame& frame) {
    std::uint64_t bytes = frame.dataType.elementSize();
    for (const std::size_t length : frame.shape) {
        if (__builtin_mul_overflow(bytes, std::uint64_t{length}, &bytes)) {
            return UINT64_MAX;
        }
    }
    return bytes;
}

// The frame written when none is asked for: the main image, as the file's format tells it apart
// from thumbnails; otherwise the frame with the most pixel bytes (the first of equals).
std::size_t defaultFrame(const toolkit::HostFile& file) {
    if (const std::optional<std::size_t> main = file.roles().main) {
        return *main;
    }
    std::size_t best = 0;
    std::uint64_t bestBytes = 0;
    for (const toolkit::IndexedFrame& frame : file.index().frames) {
        if (const std::uint64_t bytes = pixelBytes(frame); frame.index == 0 || bytes > bestBytes) {
            best = frame.index;
            bestBytes = bytes;
        }
    }
    return best;
}

std::string knownExtensionList() {
    std::string text;
    for (const std::string& extension : FrameWriter::knownExtensions()) {
        text += (text.empty() ? "" : ", ") + extension;
    }
    return text;
}

} // namespace

void ExportCommand::configure(CLI::App& app) {
    m_subcommand =
        app.add_subcommand("export", "Write one frame as .npy, .tif, .png (8-bit preview) or .raw");
    m_subcommand->add_option("file", m_file, "File to read")->required();
    m_subcommand->add_option("-o,--output", m_output, "Output file; its extension chooses the format")
        ->required();
    m_subcommand->add_option("--frame", m_frame, "Index of the frame to write (default: the main image)")
        ->check(atLeast(0));
    m_subcommand->add_flag("--allow-truncated", m_allowTruncated,
                           "Write a frame that the file ends inside, its missing bytes as zeros");
    m_subcommand->add_flag("--via-plugin", m_viaPlugin,
                           "Read the file through the plugin's open, which loads every frame");
}

int ExportCommand::run(toolkit::PluginHost& host) {
    const std::unique_ptr<FrameWriter> writer = FrameWriter::forPath(m_output);
    if (!writer) {
        throw UsageError("cannot tell the output format of '" + m_output + "'; use one of " +
                         knownExtensionList());
    }

    std::optional<toolkit::HostFile> file;
    std::size_t index = 0;
    try {
        file.emplace(toolkit::HostFile::open(host, m_file, readThrough(host, m_viaPlugin)));
        const std::size_t frameCount = file->index().frames.size();
        if (frameCount == 0) {
            throw velmora::Error("the file holds no frames");
        }
        if (m_frame && *m_frame >= frameCount) {
            throw UsageError("--frame " + std::to_string(*m_frame) + " does not exist: " + m_file + " has " +
                             std::to_string(frameCount) + (frameCount == 1 ? " frame" : " frames"));
        }
        index = m_frame ? *m_frame : defaultFrame(*file);
        const toolkit::IndexedFrame& frame = file->index().frames[index];
        try {
            writer->checkSupported(frame.shape, frame.dataType);
        } catch (const UsageError& refusal) {
            throw UsageError(m_file + ": frame " + std::to_string(index) + ": " + refusal.what());
        }
    } catch (const UsageError&) {
        throw;
    } catch (const std::exception& error) {
        std::cerr << "trestan: " << m_file << ": " << failureText(error) << '\n';
        return ExitFileError;
    }

    try {
        const FrameReader reader(*file, index, m_allowTruncated);
        // Written beside the output and renamed over it when complete: a failed write leaves a file
        // that was there untouched.
        StagedOutput output(m_output);
        writer->write(reader, output.path());
        output.commit();
    } catch (const OutputError& error) {
        std::cerr << "trestan: " << m_output << ": " << error.what() << '\n';
        return ExitFileError;
    } catch (const std::exception& error) {
        std::cerr << "trestan: " << m_file << ": frame " << index << ": " << failureText(error) << '\n';
        return ExitFileError;
    }
    return ExitSuccess;
}

} // namespace trestan::cli
