#include "apps/fxhost/video.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "apps/fxhost/interrupt.h"
#include "apps/fxhost/options.h"

namespace fxhost {
namespace {

constexpr char kInstallHint[] =
    "videos are read and written with the ffmpeg command-line tools; install ffmpeg (for "
    "example: apt-get install ffmpeg), or render to a .png or .jpg image";

// Starts a tool, turning "not found" into a message that says what to do.
std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, ChildProcess::Pipe pipe) {
    try {
        return std::make_unique<ChildProcess>(argv, pipe);
    } catch (const ProgramNotFound&) {
        throw refhost::Error(argv[0] + " was not found on PATH: " + kInstallHint);
    }
}

std::string Capture(const std::vector<std::string>& argv) {
    try {
        return RunAndCapture(argv);
    } catch (const ProgramNotFound&) {
        throw refhost::Error(argv[0] + " was not found on PATH: " + kInstallHint);
    }
}

// ffprobe's "flat" output: key=value lines, string values in quotes.
std::map<std::string, std::string> ParseFlat(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        out[line.substr(0, eq)] = value;
    }
    return out;
}

bool ParseInt(const std::string& s, int64_t& out) {
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size();
}

// A usable rate "N/D" with both parts positive and a plausible value.
bool UsableRate(const std::string& rate, double& fps) {
    const size_t slash = rate.find('/');
    int64_t n = 0, d = 1;
    if (slash == std::string::npos
            ? !ParseInt(rate, n)
            : !ParseInt(rate.substr(0, slash), n) || !ParseInt(rate.substr(slash + 1), d))
        return false;
    if (n <= 0 || d <= 0)
        return false;
    fps = static_cast<double>(n) / static_cast<double>(d);
    return fps >= 0.01 && fps <= 1000;
}

bool AudioCopyFits(const std::string& extension, const std::vector<std::string>& codecs) {
    static const std::set<std::string> mp4 = {"aac", "mp3", "alac", "ac3", "eac3", "opus"};
    static const std::set<std::string> mov = {"aac",  "mp3",       "alac",     "ac3",
                                              "eac3", "pcm_s16le", "pcm_s24le"};
    static const std::set<std::string> webm = {"opus", "vorbis"};
    static const std::set<std::string> avi = {"mp3", "ac3", "pcm_s16le", "pcm_u8", "mp2"};
    const std::set<std::string>* allowed = nullptr;
    if (extension == ".mp4" || extension == ".m4v")
        allowed = &mp4;
    else if (extension == ".mov")
        allowed = &mov;
    else if (extension == ".webm")
        allowed = &webm;
    else if (extension == ".avi")
        allowed = &avi;
    if (allowed == nullptr)
        return true;  // Matroska and the rest: let ffmpeg copy and say if it cannot
    return std::all_of(codecs.begin(), codecs.end(),
                       [&](const std::string& c) { return allowed->count(c) > 0; });
}

std::vector<std::string> AudioArguments(const std::string& extension,
                                        const std::vector<std::string>& codecs) {
    if (AudioCopyFits(extension, codecs))
        return {"-c:a", "copy"};
    if (extension == ".webm")
        return {"-c:a", "libopus", "-b:a", "160k"};
    if (extension == ".avi")
        return {"-c:a", "libmp3lame", "-b:a", "192k"};
    return {"-c:a", "aac", "-b:a", "192k"};
}

constexpr const char* kVideoList[] = {".mp4", ".m4v", ".mov", ".mkv", ".webm",
                                      ".avi", ".gif", ".ts",  ".ogv"};

}  // namespace

const char* const kVideoExtensions = ".mp4, .m4v, .mov, .mkv, .webm, .avi, .gif, .ts, .ogv";

bool IsVideoOutput(const std::string& path) {
    const std::string ext = Extension(path);
    return std::any_of(std::begin(kVideoList), std::end(kVideoList),
                       [&](const char* v) { return ext == v; });
}

double ParseFrameRate(const std::string& text, std::string* normalized) {
    double fps = 0;
    if (UsableRate(text, fps)) {
        if (normalized != nullptr)
            *normalized = text;
        return fps;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (!text.empty() && end == text.c_str() + text.size() && v >= 0.01 && v <= 1000) {
        if (normalized != nullptr)
            *normalized = text;
        return v;
    }
    throw refhost::Error(
        "a frame rate is a number from 0.01 to 1000 or a fraction such as "
        "30000/1001; got '" +
        text + "'");
}

VideoInfo ProbeVideo(const std::string& path) {
    std::map<std::string, std::string> fields;
    try {
        fields = ParseFlat(
            Capture({"ffprobe", "-v", "error", "-show_entries",
                     "stream=index,codec_type,codec_name,width,height,r_frame_rate,avg_frame_rate,"
                     "nb_frames:stream_side_data=rotation",
                     "-of", "flat", "--", path}));
    } catch (const ProgramFailed& e) {
        throw refhost::Error(
            "cannot read " + path + " as a video" +
            (e.Messages().empty() ? std::string() : "; ffprobe says:\n" + e.Messages()));
    }
    VideoInfo info;
    std::string video;  // "streams.stream.N." of the first video stream
    for (int i = 0;; ++i) {
        const std::string prefix = "streams.stream." + std::to_string(i) + ".";
        const auto type = fields.find(prefix + "codec_type");
        if (type == fields.end())
            break;
        if (type->second == "video" && video.empty())
            video = prefix;
        else if (type->second == "audio")
            info.audioCodecs.push_back(
                fields.count(prefix + "codec_name") ? fields.at(prefix + "codec_name") : "unknown");
    }
    if (video.empty())
        throw refhost::Error(path + " has no video stream");
    int64_t w = 0, h = 0;
    const auto get = [&](const std::string& key) {
        const auto it = fields.find(video + key);
        return it == fields.end() ? std::string() : it->second;
    };
    if (!ParseInt(get("width"), w) || !ParseInt(get("height"), h) || w < 1 || h < 1 ||
        w > kMaxSide || h > kMaxSide)
        throw refhost::Error(path + ": the video's frame size " + get("width") + "x" +
                             get("height") + " is not supported (1 to " + std::to_string(kMaxSide) +
                             " pixels a side)");
    // The decoder turns frames by the stream's rotation.
    int64_t rotation = 0;
    for (const auto& [key, value] : fields)
        if (key.compare(0, video.size(), video) == 0 && key.size() > 9 &&
            key.compare(key.size() - 9, 9, ".rotation") == 0)
            ParseInt(value, rotation);
    const bool quarter = (std::abs(rotation) / 90) % 2 == 1;
    info.width = static_cast<uint32_t>(quarter ? h : w);
    info.height = static_cast<uint32_t>(quarter ? w : h);

    if (UsableRate(get("avg_frame_rate"), info.fps))
        info.rate = get("avg_frame_rate");
    else if (UsableRate(get("r_frame_rate"), info.fps))
        info.rate = get("r_frame_rate");
    else
        info.rate = "25", info.fps = 25;

    int64_t frames = 0;
    if (!ParseInt(get("nb_frames"), frames) || frames <= 0) {
        // Containers without a frame count (Matroska, WebM): count the packets.
        const auto counted = ParseFlat(
            Capture({"ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                     "-show_entries", "stream=nb_read_packets", "-of", "flat", "--", path}));
        const auto it = counted.find("streams.stream.0.nb_read_packets");
        if (it == counted.end() || !ParseInt(it->second, frames))
            frames = 0;
    }
    info.frames = std::max<int64_t>(frames, 0);
    return info;
}

// ---- Decoding --------------------------------------------------------------

VideoReader::VideoReader(const std::string& path, const VideoInfo& info)
    : path_(path), frameBytes_(size_t{info.width} * info.height * 4) {
    // A constant frame rate keeps the rendered frames in step with the audio.
    child_ = Start(
        {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",    "-i",        path,
         "-map",   "0:v:0",    "-an",          "-sn",       "-dn",      "-fps_mode", "cfr",
         "-r",     info.rate,  "-f",           "rawvideo",  "-pix_fmt", "rgba",      "pipe:1"},
        ChildProcess::Pipe::kStdout);
}

bool VideoReader::Read(uint32_t* pixels) {
    const size_t n = ReadFull(child_->Out(), pixels, frameBytes_);
    CheckInterrupted();
    return n == frameBytes_;
}

void VideoReader::Finish() {
    const int status = child_->Wait();
    CheckInterrupted();
    // ffmpeg reports damage such as a truncated file on its error level but
    // still exits with 0 after the frames it could decode: that is a failure
    // too, or the user would get a shortened video without a word.
    const std::string messages = child_->ErrorOutput();
    if (status != 0 || !messages.empty())
        throw refhost::Error("ffmpeg could not decode " + path_ +
                             (messages.empty() ? std::string() : ":\n" + messages));
}

// ---- Encoding --------------------------------------------------------------

std::vector<std::string> VideoCodecArguments(const std::string& extension, const std::string& codec,
                                             uint32_t width, uint32_t height) {
    const bool h264Container =
        extension == ".mp4" || extension == ".m4v" || extension == ".mov" || extension == ".mkv";
    std::string chosen = codec;
    if (chosen.empty()) {
        if (h264Container)
            chosen = "libx264";
        else if (extension == ".webm")
            chosen = "libvpx-vp9";
    }
    std::vector<std::string> args;
    if (!chosen.empty())
        args = {"-c:v", chosen};
    if (chosen == "libx264") {
        // H.264 in 4:2:0 needs even sides; odd frames keep their size in 4:4:4.
        const bool even = width % 2 == 0 && height % 2 == 0;
        args.insert(args.end(), {"-preset", "veryfast", "-crf", "18", "-pix_fmt",
                                 even ? "yuv420p" : "yuv444p"});
    } else if (chosen == "libvpx-vp9" && codec.empty()) {
        args.insert(args.end(), {"-crf", "32", "-b:v", "0", "-pix_fmt", "yuv420p"});
    }
    if (extension == ".mp4" || extension == ".m4v" || extension == ".mov")
        args.insert(args.end(), {"-movflags", "+faststart"});
    return args;
}

VideoWriter::VideoWriter(const std::string& path, const std::string& name, uint32_t width,
                         uint32_t height, const std::string& rate, const EncoderSettings& settings)
    : name_(name), frameBytes_(size_t{width} * height * 4) {
    const std::string extension = Extension(path);
    std::vector<std::string> args = {
        "ffmpeg",     "-nostdin", "-hide_banner",
        "-loglevel",  "error",    "-y",
        "-f",         "rawvideo", "-pix_fmt",
        "rgba",       "-s",       std::to_string(width) + "x" + std::to_string(height),
        "-framerate", rate,       "-i",
        "pipe:0"};
    if (!settings.audioFrom.empty() && !settings.audioCodecs.empty()) {
        args.insert(args.end(), {"-i", settings.audioFrom, "-map", "0:v:0", "-map", "1:a?"});
        for (const std::string& a : AudioArguments(extension, settings.audioCodecs))
            args.push_back(a);
    } else {
        args.insert(args.end(), {"-map", "0:v:0"});
    }
    for (const std::string& a : VideoCodecArguments(extension, settings.codec, width, height))
        args.push_back(a);
    args.push_back(path);
    child_ = Start(args, ChildProcess::Pipe::kStdin);
}

void VideoWriter::Failed() {
    CheckInterrupted();
    child_->Wait();
    const std::string messages = child_->ErrorOutput();
    throw refhost::Error("ffmpeg could not encode " + name_ +
                         (messages.empty() ? std::string() : ":\n" + messages));
}

void VideoWriter::Write(const uint32_t* pixels) {
    if (!WriteAll(child_->In(), pixels, frameBytes_))
        Failed();
}

void VideoWriter::Finish() {
    const int status = child_->Wait();
    CheckInterrupted();
    if (status != 0) {
        const std::string messages = child_->ErrorOutput();
        throw refhost::Error("ffmpeg could not encode " + name_ +
                             (messages.empty() ? std::string() : ":\n" + messages));
    }
}

}  // namespace fxhost
