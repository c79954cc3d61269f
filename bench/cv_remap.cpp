// cv::remap on the very maps an effect built: what a general-purpose
// library's bilinear resampler costs for the same frame.  The 16.16 entries
// become pixel coordinates in float and are converted once, outside the
// timed loop, into OpenCV's fixed-point form; the remap then runs on one
// thread with the edge pixels repeated, as the effects' sampler does.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace kzrbench {
namespace {

constexpr float kFixedOne = 65536.0f;

void BM_CvRemap(benchmark::State& state, size_t effect, FrameSize size) {
    cv::setNumThreads(1);
    refhost::Instance fx(TheModule(), effect);
    fx.SetCpuLevel(8);
    const MapLayout layout = LayoutOf(fx.Effect());
    if (fx.Prepare(size.width, size.height) != kzr::kOk) {
        state.SkipWithError("Prepare failed");
        return;
    }
    const Maps maps = MapsOf(fx, layout);
    if (maps.a == nullptr || (layout == MapLayout::XY && maps.b == nullptr)) {
        state.SkipWithError("the prepared instance holds no maps");
        return;
    }
    const int w = static_cast<int>(size.width), h = static_cast<int>(size.height);
    cv::Mat mapX(h, w, CV_32FC1), mapY(h, w, CV_32FC1);
    for (int y = 0; y < h; ++y) {
        float* px = mapX.ptr<float>(y);
        float* py = mapY.ptr<float>(y);
        const size_t row = size_t(y) * size.width;
        for (int x = 0; x < w; ++x) {
            const size_t i = row + x;
            switch (layout) {
                case MapLayout::X:
                    px[x] = static_cast<float>(maps.a[i] / double{kFixedOne});
                    py[x] = static_cast<float>(y);
                    break;
                case MapLayout::Y:
                    px[x] = static_cast<float>(x);
                    py[x] = static_cast<float>(maps.a[i] / double{kFixedOne});
                    break;
                default:
                    px[x] = static_cast<float>(maps.a[i] / double{kFixedOne});
                    py[x] = static_cast<float>(maps.b[i] / double{kFixedOne});
                    break;
            }
        }
    }
    // What the remap reads and writes per frame lies on the same pages as
    // the effects' frames and maps: OpenCV fills the buffers given to it.
    const size_t n = size_t{size.width} * size.height;
    refhost::FramePixels map1Buffer(n), dstBuffer(n);
    std::vector<uint16_t, refhost::FrameAllocator<uint16_t>> map2Buffer(n);
    cv::Mat map1(h, w, CV_16SC2, map1Buffer.data()), map2(h, w, CV_16UC1, map2Buffer.data());
    cv::convertMaps(mapX, mapY, map1, map2, CV_16SC2);
    if (map1.data != reinterpret_cast<uchar*>(map1Buffer.data()) ||
        map2.data != reinterpret_cast<uchar*>(map2Buffer.data())) {
        state.SkipWithError("cv::convertMaps did not fill the buffers given to it");
        return;
    }

    const refhost::FramePixels& frame = SourceFrame(size);
    const cv::Mat src(h, w, CV_8UC4, const_cast<uint32_t*>(frame.data()));
    cv::Mat dst(h, w, CV_8UC4, dstBuffer.data());
    for (auto _ : state) {
        cv::remap(src, dst, map1, map2, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }

    // How many pixels come out as the effect's own Process makes them (every
    // channel within 2), which shows the maps were read the right way round.
    // Effects that resample only part of the frame (the double fish-eye
    // outside its lenses) agree on that part only.
    refhost::FramePixels ours(frame.size());
    fx.Render(frame.data(), ours.data());
    size_t agree = 0;
    const auto* a = reinterpret_cast<const uint8_t*>(ours.data());
    const uint8_t* b = dst.data;
    for (size_t i = 0; i < ours.size(); ++i) {
        bool same = true;
        for (int c = 0; c < 4; ++c)
            same = same && std::abs(int{a[4 * i + c]} - int{b[4 * i + c]}) <= 2;
        agree += same;
    }
    state.counters["agree"] = static_cast<double>(agree) / static_cast<double>(ours.size());
}

}  // namespace

void RegisterCvRemapBenchmarks() {
    refhost::Module& m = TheModule();
    for (size_t i = 0; i < m.EffectCount(); ++i) {
        if (!m.Available(i))
            continue;
        const MapLayout layout = LayoutOf(m.Effect(i));
        if (layout == MapLayout::None || layout == MapLayout::Table)
            continue;  // no coordinate maps to hand to a resampler
        for (const FrameSize& size : kSizes)
            benchmark::RegisterBenchmark(
                ("cvremap/" + refhost::ShortName(m.Effect(i)) + "/" + size.Name()).c_str(),
                BM_CvRemap, i, size)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
    }
}

}  // namespace kzrbench
