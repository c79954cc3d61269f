// kzr_obs_bench [--frames N] [--installed] [WxH ...] [effect ...]: what the
// kzr filters cost OBS's render thread.  libobs runs headless at 60 frames a
// second on the X display ($DISPLAY; Xvfb and Mesa's software renderer will
// do); an asynchronous source shows the built-in test card at each size and
// is drawn every frame, first without a filter, then with OBS's own Sharpen
// filter (one render pass, as OBS's effect filters do) when obs-filters is
// installed, then with one kzr filter at a time.  After 10 frames of warm-up
// N frames (default 120) are drawn.  Per row it prints
//
//   draw     time OBS's render thread spent drawing the source with its
//            filter, mean and worst frame, in ms
//   filter   of that, the kzr filter's own video_render beyond drawing its
//            target (capture, read-back, upload, draw), mean in ms
//   effect   one frame on the filter's worker thread, in ms: what a filter
//            running the effect on the render thread would add to `draw`
//   fps      frames OBS drew per second, and frames the filter rendered
//   dropped  captures replaced while the worker was busy
//
// and per size the time of mapping a stage surface right after staging (the
// GPU wait a filter reading back within one frame would add).  Defaults:
// 1920x1080 and 3840x2160, all ten effects.  With --installed the plug-in is
// the one libobs finds in its own module folders (the Debian package's), and
// each kzr row names the filter as OBS shows it.
#include <algorithm>
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
        bool sharpen = true;
        try {
            obs.LoadModule("/usr/lib/" KZR_MULTIARCH "/obs-plugins/obs-filters.so",
                           "/usr/share/obs/obs-plugins/obs-filters");
        } catch (const std::exception&) {
            sharpen = false;  // OBS Studio is not installed: no comparison
        }
        char load[64] = "?";
        if (FILE* f = std::fopen("/proc/loadavg", "r")) {
            if (std::fgets(load, sizeof load, f) == nullptr)
                load[0] = '\0';
            std::fclose(f);
        }
        std::printf("%d frames at 60 fps per row; times in ms; load average %s\n", frames, load);
        std::printf("%-10s %-14s %7s %7s %7s %8s %6s %6s %7s\n", "size", "filter", "draw", "worst",
                    "filter", "effect", "fps", "fx fps", "dropped");
        std::vector<std::string> rows = {"-"};
        if (sharpen)
            rows.push_back("sharpen");
        rows.insert(rows.end(), effects.begin(), effects.end());
        for (const Size& size : sizes) {
            obs_source_t* source = kzr_obs::CreateFrameSource("card");
            obs.Show(source, size.w, size.h);
            const std::vector<uint32_t> card = refhost::MakeTestCard(size.w, size.h);
            std::vector<uint8_t> bytes(card.size() * 4);
            std::memcpy(bytes.data(), card.data(), bytes.size());
            kzr_obs::Feed(source, VIDEO_FORMAT_RGBA, size.w, size.h, {bytes});
            obs.Grab(source, size.w, size.h, 10);  // shown; the mean map time of this size
            const double mapMs = Ms(static_cast<int64_t>(obs.MeanMapNs()));
            for (const std::string& row : rows) {
                const bool ours = row != "-" && row != "sharpen";
                const std::string id = ours ? "kzr_" + row : "sharpness_filter_v2";
                obs_source_t* filter =
                    row == "-" ? nullptr
                               : obs_source_create_private(id.c_str(), row.c_str(), nullptr);
                if (row != "-" && filter == nullptr) {
                    std::fprintf(stderr, "no filter %s\n", id.c_str());
                    return 1;
                }
                if (filter != nullptr)
                    obs_source_filter_add(source, filter);
                obs.Grab(source, size.w, size.h, 10, 600000, {}, false);
                const kzr_obs::FilterStats s0 =
                    ours ? kzr_obs::QueryStats(filter) : kzr_obs::FilterStats{};
                const auto t0 = std::chrono::steady_clock::now();
                obs.Grab(source, size.w, size.h, frames, 600000, {}, false);
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                const kzr_obs::FilterStats s1 =
                    ours ? kzr_obs::QueryStats(filter) : kzr_obs::FilterStats{};
                const int64_t renders = std::max<int64_t>(1, s1.renders - s0.renders);
                const int64_t done = std::max<int64_t>(1, s1.frames - s0.frames);
                const std::string name = (std::to_string(size.w) + "x" + std::to_string(size.h));
                std::printf("%-10s %-14s %7.2f %7.2f ", name.c_str(), row.c_str(),
                            Ms(static_cast<int64_t>(obs.MeanDrawNs())),
                            Ms(static_cast<int64_t>(obs.WorstDrawNs())));
                if (ours)
                    std::printf(
                        "%7.2f %8.2f %6.1f %6.1f %7lld%s%s\n",
                        Ms((s1.renderNs - s0.renderNs) - (s1.targetNs - s0.targetNs)) /
                            static_cast<double>(renders),
                        Ms(s1.workerNs - s0.workerNs) / static_cast<double>(done), frames / seconds,
                        static_cast<double>(s1.frames - s0.frames) / seconds,
                        static_cast<long long>(s1.dropped - s0.dropped), installed ? "  " : "",
                        installed ? obs_source_get_display_name(id.c_str()) : "");
                else
                    std::printf("%7s %8s %6.1f\n", "", "", frames / seconds);
                std::fflush(stdout);
                if (filter != nullptr) {
                    obs_source_filter_remove(source, filter);
                    obs_source_release(filter);
                }
            }
            std::printf("%-10s map right after staging: %.2f ms\n",
                        (std::to_string(size.w) + "x" + std::to_string(size.h)).c_str(), mapMs);
            obs.Show(nullptr, 0, 0);
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
