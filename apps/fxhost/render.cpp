#include "apps/fxhost/render.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "apps/fxhost/frame_queue.h"
#include "apps/fxhost/image_io.h"
#include "apps/fxhost/interrupt.h"
#include "apps/fxhost/options.h"
#include "apps/fxhost/output_file.h"
#include "apps/fxhost/progress.h"
#include "apps/fxhost/video.h"
#include "refhost/testcard.h"

namespace fxhost {
namespace {

constexpr Size kDefaultCard = {1280, 720};

// Frames waiting between decoder and effect, and between effect and
// encoder, besides the one each stage works on.
constexpr size_t kQueuedFrames = 2;

// The first failure of the stages of a video render; the failures of the
// others follow from it (they were stopped) and are dropped.
class FirstFailure {
  public:
    void Record(std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!first_)
            first_ = e;
    }
    void Rethrow() {
        if (first_)
            std::rethrow_exception(first_);
    }

  private:
    std::mutex mutex_;
    std::exception_ptr first_;
};

// One --animate: a number or a position ramped over the frames.
struct Ramp {
    size_t index;
    uint32_t type;
    float from[2] = {0, 0};
    float to[2] = {0, 0};
};

void ReadBack(refhost::Instance& fx, size_t index, float* out) {
    std::memcpy(out, fx.Blob() + fx.ParamOffset(index), fx.Effect().Params[index].ValueSize);
}

Ramp ParseRamp(refhost::Instance& fx, const refhost::Texts& texts, const std::string& text) {
    const auto bad = [&]() {
        return refhost::Error(
            "--animate expects KEY=FROM:TO (such as P1=0.01:0.1, or Position=0.2,0.5:0.8,0.5); "
            "got '" +
            text + "'");
    };
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw bad();
    const std::string values = text.substr(eq + 1);
    const size_t colon = values.find(':');
    if (colon == std::string::npos || values.find(':', colon + 1) != std::string::npos)
        throw bad();
    Ramp ramp;
    ramp.index = refhost::FindParam(fx.Effect(), texts, text.substr(0, eq));
    const kzr::ParamDescriptor& p = fx.Effect().Params[ramp.index];
    ramp.type = p.ValueType;
    if (ramp.type != kzr::kTypeFloat && ramp.type != kzr::kTypePoint)
        throw refhost::Error(std::string(p.Key) + " (" + texts.Text(p.NameKey) +
                             ") is not a number or a position and cannot be animated");
    // Both ends go through the same parsing and range checks as --set.
    fx.SetParam(p.Key, values.substr(0, colon));
    ReadBack(fx, ramp.index, ramp.from);
    fx.SetParam(p.Key, values.substr(colon + 1));
    ReadBack(fx, ramp.index, ramp.to);
    return ramp;
}

// Writes every ramp's value for this frame and raises its changed flag, as an
// editor does for a keyframed parameter.
void ApplyRamps(refhost::Instance& fx, const std::vector<Ramp>& ramps, long long frame,
                long long frames) {
    for (const Ramp& r : ramps) {
        if (r.type == kzr::kTypeFloat)
            fx.SetFloat(r.index, RampValue(r.from[0], r.to[0], frame, frames));
        else
            fx.SetPoint(r.index, RampValue(r.from[0], r.to[0], frame, frames),
                        RampValue(r.from[1], r.to[1], frame, frames));
    }
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void RenderImage(refhost::Instance& fx, const RenderOptions& o) {
    const Image src = InputOrTestCard(o.input, o.size, kDefaultCard, o.limits);
    PrepareOrThrow(fx, src.width, src.height);
    Image dst = src;
    RenderFrame(fx, src.pixels, dst.pixels);
    SaveImage(o.output, dst, o.force);
}

void RenderVideo(refhost::Instance& fx, const std::vector<Ramp>& ramps, const RenderOptions& o) {
    OutputFile out(o.output, o.force);

    // Where the frames come from.
    const bool fromVideo = !o.input.empty() && !IsImageInput(o.input);
    VideoInfo info;
    std::unique_ptr<VideoReader> reader;
    Image still;
    long long frames = 0;
    if (fromVideo) {
        info = ProbeVideo(o.input);
        frames = info.frames;
    } else {
        std::string rate;
        const double fps = ParseFrameRate(o.fps.empty() ? "25" : o.fps, &rate);
        double seconds = 5;
        if (!o.duration.empty()) {
            char* end = nullptr;
            seconds = std::strtod(o.duration.c_str(), &end);
            if (end != o.duration.c_str() + o.duration.size() || !(seconds > 0) || seconds > 3600)
                throw refhost::Error("--duration expects seconds above 0 and up to 3600; got '" +
                                     o.duration + "'");
        }
        if (o.input.empty()) {
            const Size size = o.size.empty() ? kDefaultCard : ParseSize(o.size, "--size");
            info.width = size.width;
            info.height = size.height;
        } else {
            still = ReadImage(o.input, o.limits);
            info.width = still.width;
            info.height = still.height;
        }
        info.rate = rate;
        info.fps = fps;
        frames = std::max(1LL, std::llround(seconds * fps));
    }
    const uint32_t w = info.width, h = info.height;

    PrepareOrThrow(fx, w, h);
    if (fromVideo)
        reader = std::make_unique<VideoReader>(o.input, info);
    EncoderSettings settings;
    settings.codec = o.codec;
    if (fromVideo) {
        settings.audioFrom = o.input;
        settings.audioCodecs = info.audioCodecs;
    }
    VideoWriter writer(out.TempPath(), o.output, w, h, info.rate, settings);

    Progress progress(frames, !o.quiet && Progress::ErrorIsTerminal());
    std::unique_ptr<refhost::TestCardClip> card;
    if (o.input.empty())
        card = std::make_unique<refhost::TestCardClip>(w, h);

    // Decoding, processing and encoding overlap: a decoder thread reads
    // frames ahead, this thread renders them, an encoder thread writes them,
    // and the queues keep them in order.  The frame buffers go round.
    FrameQueue decoded(kQueuedFrames), rendered(kQueuedFrames), freeSources, freeResults;
    for (size_t i = 0; i < kQueuedFrames + 2; ++i) {
        FrameQueue::Frame source(size_t{w} * h), result(size_t{w} * h);
        freeSources.Push(source);
        freeResults.Push(result);
    }
    FirstFailure failure;
    const auto fail = [&] {
        failure.Record(std::current_exception());
        for (FrameQueue* q : {&decoded, &rendered, &freeSources, &freeResults})
            q->Abort();
    };
    std::thread decoder, encoder;
    long long written = 0;
    try {
        // The interrupt signals stay with this thread, which watches for them.
        InterruptsBlocked blocked;
        decoder = std::thread([&] {
            try {
                FrameQueue::Frame frame;
                for (long long n = 0;; ++n) {
                    if (freeSources.Pop(frame) != FrameQueue::Result::kFrame)
                        return;
                    if (fromVideo) {
                        if (!reader->Read(frame.data()))
                            break;
                    } else {
                        if (n >= frames)
                            break;
                        const std::vector<uint32_t>& pixels =
                            card ? card->Frame(static_cast<double>(n) / static_cast<double>(frames))
                                 : still.pixels;
                        std::copy(pixels.begin(), pixels.end(), frame.begin());
                    }
                    if (!decoded.Push(frame))
                        return;
                }
                decoded.Close();
            } catch (...) {
                fail();
            }
        });
        encoder = std::thread([&] {
            try {
                FrameQueue::Frame frame;
                while (rendered.Pop(frame) == FrameQueue::Result::kFrame) {
                    writer.Write(frame.data());
                    progress.Update(++written);
                    if (!freeResults.Push(frame))
                        return;
                }
            } catch (...) {
                fail();
            }
        });
    } catch (...) {
        // No thread for the encoder: stop the decoder before giving up.
        fail();
        if (decoder.joinable())
            decoder.join();
        throw;
    }
    try {
        // Waits for a frame of a queue while watching for an interrupt.
        const auto take = [](FrameQueue& q, FrameQueue::Frame& frame) {
            for (;;) {
                CheckInterrupted();
                const FrameQueue::Result r = q.Pop(frame, std::chrono::milliseconds(50));
                if (r != FrameQueue::Result::kTimeout)
                    return r == FrameQueue::Result::kFrame;
            }
        };
        FrameQueue::Frame src, dst;
        for (long long done = 0; take(decoded, src); ++done) {
            if (!take(freeResults, dst))
                break;
            ApplyRamps(fx, ramps, done, frames);
            RenderFrame(fx, src, dst);
            if (!freeSources.Push(src) || !rendered.Push(dst))
                break;
        }
        rendered.Close();
    } catch (...) {
        fail();
    }
    decoder.join();
    encoder.join();
    failure.Rethrow();

    if (reader)
        reader->Finish();
    if (written == 0)
        throw refhost::Error(o.input + " has no video frames to render");
    writer.Finish();
    progress.Finish(written);
    out.Commit();
}

}  // namespace

float RampValue(float from, float to, long long frame, long long frames) {
    double t = frames > 1 ? static_cast<double>(frame) / static_cast<double>(frames - 1) : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    const double a = from, b = to;
    return static_cast<float>(a + (b - a) * t);
}

void Render(const std::string& modulePath, const RenderOptions& o) {
    // Everything that can be refused is checked before any work is done.
    if (o.output.empty())
        throw refhost::Error("no output given; use -o OUTPUT (.png, .jpg or a video such as .mp4)");
    if (!IsImageOutput(o.output) && !IsVideoOutput(o.output))
        throw refhost::Error("cannot tell what to write to " + o.output +
                             " from its name; use .png or .jpg for an image, or one of " +
                             kVideoExtensions + " for a video");
    if (!o.force && FileExists(o.output))
        throw refhost::Error(o.output + " already exists; use --force to overwrite it");
    if (!o.input.empty() && !FileExists(o.input))
        throw refhost::Error("input " + o.input + " does not exist");
    const bool imageOut = IsImageOutput(o.output);
    const bool videoIn = !o.input.empty() && !IsImageInput(o.input);
    if (imageOut && videoIn)
        throw refhost::Error("the input " + o.input + " is a video but the output " + o.output +
                             " is an image; write the video to a video file such as out.mp4");
    if (!o.input.empty() && !o.size.empty())
        throw refhost::Error(
            "--size sets the size of the built-in test card; it cannot be used "
            "with an input file");
    if (imageOut && !o.animates.empty())
        throw refhost::Error("--animate ramps a parameter over the frames of a video; the output " +
                             o.output + " is an image");
    if ((imageOut || videoIn) && (!o.duration.empty() || !o.fps.empty()))
        throw refhost::Error(
            std::string("--duration and --fps set the length of a video made "
                        "from the test card or a still image; ") +
            (videoIn ? "a video input keeps its own" : "an image output has none"));
    if (imageOut && !o.codec.empty())
        throw refhost::Error("--codec chooses a video encoder; the output " + o.output +
                             " is an image");

    refhost::Module module(modulePath);
    const refhost::Texts texts = refhost::Texts::FromModule(module);
    refhost::Instance fx(module, module.FindEffect(o.effect));
    for (const std::string& s : o.sets)
        ApplySet(fx, texts, s);
    std::vector<Ramp> ramps;
    for (const std::string& a : o.animates)
        ramps.push_back(ParseRamp(fx, texts, a));
    ApplyContext(fx, o.context);

    if (imageOut)
        RenderImage(fx, o);
    else
        RenderVideo(fx, ramps, o);
}

}  // namespace fxhost
