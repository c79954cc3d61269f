// kzr_obs_bench [--frames N] [WxH ...] [effect ...]: what the kzr filters
// cost OBS's render thread.  libobs runs headless at 60 frames a second on
// the X display ($DISPLAY; Xvfb and Mesa's software renderer will do); an
// asynchronous source shows the built-in test card at each size, one filter
// at a time is added to it, and after 30 frames of warm-up N frames (default
// 120) are drawn.  Per effect and size it prints
//
//   added    render-thread time of the filter's video_render beyond drawing
//            its target: mean and worst frame, in ms
//   effect   time of one frame on the filter's worker thread, in ms, which a
//            filter running the effect on the render thread would add
//   map      mapping a stage surface right after staging (the GPU wait a
//            filter reading back in the same frame would add), in ms
//   fps      frames OBS drew per second, and frames the filter rendered
//   dropped  captures replaced while the worker was busy
//
// Defaults: 1920x1080 and 3840x2160, all ten effects.  With --installed the
// plug-in is the one libobs finds in its own module folders (the Debian
// package's), not the build's, and each row names the filter as OBS shows it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "adapters/obs/headless.h"
#include "refhost/testcard.h"

namespace {

struct Size {
    uint32_t w, h;
};

constexpr const char* kEffects[] = {"hmirror",    "hsqueeze",      "hstretch", "vstretch",
                                    "tristretch", "doublefisheye", "drain",    "laser",
                                    "square",     "sshape"};

double Ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 120;
    bool installed = false;
    std::vector<Size> sizes;
    std::vector<std::string> effects;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        Size s{};
        if (a == "--frames" && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (a == "--installed") {
            installed = true;
        } else if (std::sscanf(a.c_str(), "%ux%u", &s.w, &s.h) == 2 && s.w > 0 && s.h > 0) {
            sizes.push_back(s);
        } else if (!a.empty() && a[0] != '-') {
            effects.push_back(a);
        } else {
            std::fprintf(stderr, "usage: %s [--frames N] [--installed] [WxH ...] [effect ...]\n",
                         argv[0]);
            return 2;
        }
    }
    if (sizes.empty())
        sizes = {{1920, 1080}, {3840, 2160}};
    if (effects.empty())
        effects.assign(std::begin(kEffects), std::end(kEffects));
    if (frames < 1)
        frames = 1;

    try {
        base_set_log_handler([](int, const char*, va_list, void*) {}, nullptr);
        kzr_obs::Headless obs(640, 360, 60);
        if (installed)
            obs.LoadInstalledModule("kzr-effects");
        else
            obs.LoadModule(KZR_OBS_PLUGIN, KZR_OBS_DATA);
        kzr_obs::RegisterFrameSource();
        std::printf("%d frames at 60 fps per row; times in ms\n\n", frames);
        std::printf("%-10s %-14s %7s %7s %8s %6s %6s %6s %7s\n", "size", "effect", "added", "worst",
                    "effect", "map", "fps", "fx fps", "dropped");
        for (const Size& size : sizes) {
            obs_source_t* source = kzr_obs::CreateFrameSource("card");
            const std::vector<uint32_t> card = refhost::MakeTestCard(size.w, size.h);
            std::vector<uint8_t> bytes(card.size() * 4);
            std::memcpy(bytes.data(), card.data(), bytes.size());
            kzr_obs::Feed(source, VIDEO_FORMAT_RGBA, size.w, size.h, {bytes});
            obs.Grab(source, size.w, size.h, 10);  // shown; the mean map time of this size
            const double mapMs = Ms(static_cast<int64_t>(obs.MeanMapNs()));
            for (const std::string& effect : effects) {
                obs_source_t* filter =
                    obs_source_create_private(("kzr_" + effect).c_str(), effect.c_str(), nullptr);
                if (filter == nullptr) {
                    std::fprintf(stderr, "no filter kzr_%s\n", effect.c_str());
                    return 1;
                }
                obs_source_filter_add(source, filter);
                obs.Grab(source, size.w, size.h, 30, 60000, {}, false);
                const kzr_obs::FilterStats s0 = kzr_obs::QueryStats(filter);
                int64_t worst = 0, previous = s0.renderNs - s0.targetNs;
                const auto t0 = std::chrono::steady_clock::now();
                obs.Grab(
                    source, size.w, size.h, frames, 600000,
                    [&](int) {
                        const kzr_obs::FilterStats s = kzr_obs::QueryStats(filter);
                        worst = std::max(worst, s.renderNs - s.targetNs - previous);
                        previous = s.renderNs - s.targetNs;
                    },
                    false);
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                const kzr_obs::FilterStats s1 = kzr_obs::QueryStats(filter);
                const int64_t renders = std::max<int64_t>(1, s1.renders - s0.renders);
                const int64_t done = std::max<int64_t>(1, s1.frames - s0.frames);
                std::printf(
                    "%-10s %-14s %7.3f %7.3f %8.2f %6.2f %6.1f %6.1f %7lld%s%s\n",
                    (std::to_string(size.w) + "x" + std::to_string(size.h)).c_str(), effect.c_str(),
                    Ms((s1.renderNs - s0.renderNs) - (s1.targetNs - s0.targetNs)) /
                        static_cast<double>(renders),
                    Ms(worst), Ms(s1.workerNs - s0.workerNs) / static_cast<double>(done), mapMs,
                    static_cast<double>(s1.renders - s0.renders) / seconds,
                    static_cast<double>(s1.frames - s0.frames) / seconds,
                    static_cast<long long>(s1.dropped - s0.dropped), installed ? "  " : "",
                    installed ? obs_source_get_display_name(("kzr_" + effect).c_str()) : "");
                std::fflush(stdout);
                obs_source_filter_remove(source, filter);
                obs_source_release(filter);
            }
            obs_source_release(source);
        }
        obs_wait_for_destroy_queue();
        return 0;
    } catch (const kzr_obs::NoDisplay& e) {
        std::fprintf(stderr, "kzr_obs_bench: %s\n", e.what());
        return 77;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kzr_obs_bench: %s\n", e.what());
        return 1;
    }
}
