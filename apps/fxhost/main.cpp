// fxhost: the module's effects from the command line: list them, render
// them on images, videos or a built-in test card, show them all in one
// gallery picture, and measure them.
#include <CLI/CLI.hpp>

#include <iostream>

#include "apps/fxhost/bench.h"
#include "apps/fxhost/common.h"
#include "apps/fxhost/gallery.h"
#include "apps/fxhost/interrupt.h"
#include "apps/fxhost/list.h"
#include "apps/fxhost/preview.h"
#include "apps/fxhost/render.h"
#include "refhost/refhost.h"

namespace {

void AddContextOptions(CLI::App* cmd, fxhost::ContextOptions& c) {
    cmd->add_option("--cpu-level", c.cpuLevel,
                    "Processor level given to the effects: 8 or more uses AVX2, 3 or more SSE2, "
                    "less plain code (default: what this processor supports)")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--tasks", c.tasks,
                    "Bands of rows an effect may render in parallel (default: one per processor "
                    "core)")
        ->check(CLI::Range(1, 256));
    cmd->add_option("--ref", c.reference,
                    "Reference frame size WxH for effects that keep display proportions (laser)");
}

void AddReadOptions(CLI::App* cmd, fxhost::ReadLimits& limits) {
    cmd->add_option("--max-memory", limits.maxMemoryMiB,
                    "Most memory in MiB an input picture may take to decode; a larger one is "
                    "refused from its header (default 2048)")
        ->check(CLI::Range(1, 1 << 20));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "fxhost: the distortion effects of the KZR_PlugIn_6 module from the command line.\n"
        "Effect names, descriptions and parameter names come from the language library beside\n"
        "the module that suits the locale (LANG), such as KZR_PlugIn_6_DEU.DLL for German."};
    app.require_subcommand(1);
    app.fallthrough();
    std::string modulePath = refhost::DefaultModulePath();
    app.add_option("--module", modulePath, "Path of the effect module")->capture_default_str();

    // ---- list
    fxhost::ListOptions lo;
    CLI::App* list = app.add_subcommand(
        "list", "List every effect with its parameters (display name, type, range, default)");
    list->add_flag("--json", lo.json, "Machine-readable output");
    list->add_option("--lang", lo.language,
                     "Language library to use, such as ENU or DEU (default: from the locale)");

    // ---- render
    fxhost::RenderOptions ro;
    CLI::App* render = app.add_subcommand(
        "render",
        "Render one effect on an image, a video or the built-in test card.\n"
        "Images: PNG, JPEG, WebP, TIFF, BMP, TGA in (EXIF orientation and colour profile\n"
        "applied); PNG (alpha kept) or JPEG out.  Videos: anything ffmpeg\n"
        "reads; written by ffmpeg, H.264 for .mp4/.mov/.mkv (odd frame sizes in 4:4:4), VP9\n"
        "for .webm; frame rate kept, audio copied.");
    render->add_option("effect", ro.effect, "Effect short name (hstretch, drain, laser, ...)")
        ->required();
    render->add_option("input", ro.input,
                       "Input image or video; the built-in test card when omitted");
    render
        ->add_option("-o,--output", ro.output,
                     "Output file: .png or .jpg for an image, .mp4, .mkv, .mov, .webm, ... for "
                     "a video")
        ->required();
    render
        ->add_option("--set", ro.sets,
                     "KEY=VALUE: a parameter by key (P1) or display name (Degree); positions as "
                     "x,y; switches as 0/1 (repeatable)")
        ->allow_extra_args(false);
    render
        ->add_option("--animate", ro.animates,
                     "KEY=FROM:TO: ramp a number or position linearly from the first to the "
                     "last video frame (repeatable)")
        ->allow_extra_args(false);
    AddContextOptions(render, ro.context);
    AddReadOptions(render, ro.limits);
    render->add_option("--size", ro.size, "Size WxH of the test card (default 1280x720)");
    render->add_option("--duration", ro.duration,
                       "Seconds of a video made from the test card or a still image (default 5)");
    render->add_option("--fps", ro.fps,
                       "Frame rate of a video made from the test card or a still image "
                       "(default 25)");
    render->add_option("--codec", ro.codec,
                       "ffmpeg video encoder, such as libx264, libvpx-vp9 or ffv1 (default: by "
                       "container)");
    render->add_flag("--force", ro.force, "Overwrite an existing output");
    render->add_flag("-q,--quiet", ro.quiet, "No progress bar");

    // ---- gallery
    fxhost::GalleryOptions go;
    CLI::App* gallery = app.add_subcommand(
        "gallery", "One picture with every effect at its defaults, each tile labelled");
    gallery->add_option("-o,--output", go.output, "Output picture (.png or .jpg)")->required();
    gallery->add_option("--input", go.input, "Picture to distort instead of the test card");
    gallery->add_option("--tile", go.tile,
                        "Tile size WxH (default 384x216, or 384 wide in the input's shape)");
    gallery->add_option("--columns", go.columns, "Tiles per row (default up to 5)")
        ->check(CLI::Range(1, 64));
    gallery->add_option("--lang", go.language, "Language of the labels, such as ENU or DEU");
    gallery->add_option("--font", go.font, "TrueType font of the labels (default DejaVu Sans)");
    AddContextOptions(gallery, go.context);
    AddReadOptions(gallery, go.limits);
    gallery->add_flag("--force", go.force, "Overwrite an existing output");

    // ---- bench
    fxhost::BenchOptions bo;
    CLI::App* bench = app.add_subcommand(
        "bench",
        "Measure Prepare and Process of effects: median and spread over repeated runs, "
        "and frames per second");
    bench->add_option("effects", bo.effects, "Effects to measure (default: all)");
    bench->add_option("--size", bo.size, "Frame size WxH (default 1920x1080)");
    AddContextOptions(bench, bo.context);
    bench->add_option("--runs", bo.runs, "Timed runs of each callback (default 15)")
        ->check(CLI::Range(1, 100000));
    bench->add_flag("--json", bo.json, "Machine-readable output");

    // ---- preview
    fxhost::PreviewOptions po;
    CLI::App* preview = app.add_subcommand(
        "preview",
        "A local web page to try the effects: the effect list, a slider or point picker per\n"
        "parameter and the picture, re-rendered as a control moves.  Served on 127.0.0.1\n"
        "until Ctrl-C.");
    preview->add_option("--input", po.input, "Picture to distort instead of the test card");
    preview->add_option("--size", po.size, "Size WxH of the test card (default 960x540)");
    preview->add_option("--port", po.port, "Port to listen on; 0 picks a free one (default)")
        ->check(CLI::Range(0, 65535));
    preview->add_option("--lang", po.language, "Language of the page, such as ENU or DEU");
    AddContextOptions(preview, po.context);
    AddReadOptions(preview, po.limits);

    CLI11_PARSE(app, argc, argv);
    fxhost::InstallInterruptHandlers();
    try {
        if (list->parsed())
            fxhost::List(modulePath, lo, std::cout);
        else if (render->parsed())
            fxhost::Render(modulePath, ro);
        else if (gallery->parsed())
            fxhost::Gallery(modulePath, go);
        else if (bench->parsed())
            fxhost::Bench(modulePath, bo, std::cout);
        else if (preview->parsed())
            fxhost::Preview(modulePath, po, std::cout);
    } catch (const fxhost::Interruption&) {
        std::cerr << "\nfxhost: interrupted; nothing was written\n";
        return 130;
    } catch (const std::exception& e) {
        if (fxhost::Interrupted()) {
            std::cerr << "\nfxhost: interrupted; nothing was written\n";
            return 130;
        }
        // One line, however many the message had (ffmpeg's own among them).
        std::string message = e.what();
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        for (size_t i = 0; (i = message.find('\n', i)) != std::string::npos;)
            message.replace(i, 1, message[i - (i > 0)] == ':' ? " " : "; ");
        std::cerr << "fxhost: " << message << "\n";
        return 1;
    }
    std::cout.flush();
    return std::cout.good() ? 0 : 1;
}
