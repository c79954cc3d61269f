// fxhost: renders the module's effects on images from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "apps/fxhost/image_io.h"
#include "refhost/refhost.h"
#include "refhost/testcard.h"

namespace {

struct RenderOptions {
    std::string effect;
    std::string input;
    std::string output;
    std::vector<std::string> sets;
    int cpuLevel = -1;
    bool force = false;
};

int Render(const std::string& modulePath, const RenderOptions& o) {
    if (!o.force && std::filesystem::exists(o.output))
        throw refhost::Error(o.output + " exists; use --force to overwrite it");
    refhost::Module module(modulePath);
    refhost::Instance fx(module, module.FindEffect(o.effect));
    for (const std::string& s : o.sets) {
        const size_t eq = s.find('=');
        if (eq == std::string::npos)
            throw refhost::Error("--set expects KEY=VALUE, got '" + s + "'");
        fx.SetParam(s.substr(0, eq), s.substr(eq + 1));
    }
    if (o.cpuLevel >= 0)
        fx.SetCpuLevel(o.cpuLevel);

    fxhost::Image src;
    if (o.input.empty()) {
        src.width = 1280;
        src.height = 720;
        src.pixels = refhost::MakeTestCard(src.width, src.height);
    } else {
        src = fxhost::ReadImage(o.input);
    }
    fxhost::Image dst = src;
    if (fx.Prepare(src.width, src.height) != kzr::kOk)
        throw refhost::Error("the effect could not be prepared for a " + std::to_string(src.width) +
                             "x" + std::to_string(src.height) + " frame");
    if (fx.Render(src.pixels.data(), dst.pixels.data()) != kzr::kOk)
        throw refhost::Error("the effect refused to render the frame");
    fxhost::WriteImage(o.output, dst);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Renders the distortion effects of the KZR_PlugIn_6 module."};
    app.require_subcommand(1);
    std::string modulePath = refhost::DefaultModulePath();
    app.add_option("--module", modulePath, "Path of the effect module")->capture_default_str();

    RenderOptions ro;
    CLI::App* render = app.add_subcommand("render", "Render one effect on an image");
    render->add_option("effect", ro.effect, "Effect short name or id (hstretch, ...)")->required();
    render->add_option("input", ro.input,
                       "Input image (PNG, JPEG, BMP, TGA); the test card if omitted");
    render->add_option("-o,--output", ro.output, "Output image (.png, .jpg)")->required();
    render->add_option("--set", ro.sets, "Parameter KEY=VALUE (key like P1 or name like Degree)");
    render->add_option("--cpu-level", ro.cpuLevel,
                       "CpuLevel given to the module (default: detected)");
    render->add_flag("--force", ro.force, "Overwrite an existing output");

    CLI11_PARSE(app, argc, argv);
    try {
        if (render->parsed())
            return Render(modulePath, ro);
    } catch (const std::exception& e) {
        std::cerr << "fxhost: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
