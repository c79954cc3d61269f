// Videos through the ffmpeg command-line tools: ffprobe describes the input,
// one ffmpeg process decodes it to raw RGBA frames on a pipe, another encodes
// the rendered frames from a pipe (and copies the input's audio).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apps/fxhost/process.h"

namespace fxhost {

struct VideoInfo {
    uint32_t width = 0;  // as decoded (rotation applied)
    uint32_t height = 0;
    std::string rate;  // frame rate as ffmpeg writes it, "30000/1001"
    double fps = 0;
    int64_t frames = 0;                    // expected frame count; 0 when unknown
    std::vector<std::string> audioCodecs;  // one per audio stream
};

VideoInfo ProbeVideo(const std::string& path);

// Extensions of the video files fxhost writes (".mp4", ".mkv", ...).
bool IsVideoOutput(const std::string& path);
extern const char* const kVideoExtensions;  // for messages: ".mp4, .mkv, ..."

// "25", "30000/1001" or "29.97"; throws refhost::Error otherwise.  Returns the
// value; `normalized` receives the text to hand to ffmpeg.
double ParseFrameRate(const std::string& text, std::string* normalized = nullptr);

class VideoReader {
  public:
    VideoReader(const std::string& path, const VideoInfo& info);
    // The next frame into `pixels` (width*height RGBA); false at the end.
    bool Read(uint32_t* pixels);
    // Waits for the decoder; throws refhost::Error when it failed.
    void Finish();

  private:
    std::string path_;
    size_t frameBytes_;
    std::unique_ptr<ChildProcess> child_;
};

struct EncoderSettings {
    std::string codec;      // ffmpeg encoder name; empty picks one by container
    std::string audioFrom;  // file whose audio streams are carried over; empty for none
    std::vector<std::string> audioCodecs;  // their codecs, as ProbeVideo reports them
};

class VideoWriter {
  public:
    // Encodes into `path`, whose extension selects the container; `name` is
    // the output as the user knows it, for messages.
    VideoWriter(const std::string& path, const std::string& name, uint32_t width, uint32_t height,
                const std::string& rate, const EncoderSettings& settings);
    void Write(const uint32_t* pixels);
    // Ends the stream and waits for the encoder; throws when it failed.
    void Finish();

  private:
    [[noreturn]] void Failed();
    std::string name_;
    size_t frameBytes_;
    std::unique_ptr<ChildProcess> child_;
};

// The ffmpeg arguments for the video codec of a container (by extension).
std::vector<std::string> VideoCodecArguments(const std::string& extension, const std::string& codec,
                                             uint32_t width, uint32_t height);

}  // namespace fxhost
