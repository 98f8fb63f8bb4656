#include "ExportCommand.h"

#include "CommandLineError.h"
#include "FramePixels.h"
#include "FrameWriter.h"
#include "OptionChecks.h"
#include "StagedOutput.h"
#include "trestan/gatan/DmMetadata.h"
#include "velmora/Error.h"

#include <iostream>

namespace trestan::cli {

namespace {

// The frame with the most pixel bytes; the first of equals.
std::size_t largestFrame(velmora::MultiImageView& view) {
    std::size_t best = 0;
    std::size_t bestBytes = 0;
    for (std::size_t i = 0; i < view.frameCount(); ++i) {
        const std::shared_ptr<velmora::ImageView> frame = view.frame(i);
        const std::size_t bytes = FramePixels::byteCount(frame->shape(), frame->dataType());
        if (i == 0 || bytes > bestBytes) {
            best = i;
            bestBytes = bytes;
        }
    }
    return best;
}

// The frame written when none is asked for: a DM file's main image, which its own thumbnail list
// tells apart from the thumbnails; otherwise the largest frame.
std::size_t defaultFrame(const app::OpenedFile& file) {
    if (file.format == "DM" && file.view->metadata()) {
        if (const std::optional<std::size_t> main =
                gatan::frameRoles(*file.view->metadata(), file.view->frameCount()).main) {
            return *main;
        }
    }
    return largestFrame(*file.view);
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
}

int ExportCommand::run(app::PluginHost& host) {
    const std::unique_ptr<FrameWriter> writer = FrameWriter::forPath(m_output);
    if (!writer) {
        throw UsageError("cannot tell the output format of '" + m_output + "'; use one of " +
                         knownExtensionList());
    }

    app::OpenedFile file;
    std::size_t index = 0;
    std::shared_ptr<velmora::ImageView> frame;
    try {
        file = host.open(m_file);
        const std::size_t frameCount = file.view->frameCount();
        if (frameCount == 0) {
            throw velmora::Error("the file holds no frames");
        }
        if (m_frame && *m_frame >= frameCount) {
            throw UsageError("--frame " + std::to_string(*m_frame) + " does not exist: " + m_file + " has " +
                             std::to_string(frameCount) + (frameCount == 1 ? " frame" : " frames"));
        }
        index = m_frame ? *m_frame : defaultFrame(file);
        frame = file.view->frame(index);
        try {
            writer->checkSupported(frame->shape(), frame->dataType());
        } catch (const UsageError& refusal) {
            throw UsageError(m_file + ": frame " + std::to_string(index) + ": " + refusal.what());
        }
    } catch (const UsageError&) {
        throw;
    } catch (const std::exception& error) {
        std::cerr << "trestan: " << m_file << ": " << failureText(error) << '\n';
        return ExitFileError;
    }

    FramePixels pixels;
    try {
        pixels = FramePixels::read(*frame, writer->workingBytes(frame->shape(), frame->dataType()));
    } catch (const std::exception& error) {
        std::cerr << "trestan: " << m_file << ": frame " << index << ": " << failureText(error) << '\n';
        return ExitFileError;
    }
    try {
        // Written beside the output and renamed over it when complete: a failed write leaves a file
        // that was there untouched.
        StagedOutput output(m_output);
        writer->write(pixels, output.path());
        output.commit();
    } catch (const OutputError& error) {
        std::cerr << "trestan: " << m_output << ": " << error.what() << '\n';
        return ExitFileError;
    }
    return ExitSuccess;
}

} // namespace trestan::cli
