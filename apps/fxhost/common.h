// Pieces every subcommand uses: texts in the chosen language, status texts,
// the parameter and context settings of an instance.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "abi/status.h"
#include "apps/fxhost/image_io.h"
#include "apps/fxhost/options.h"
#include "refhost/frame_buffer.h"
#include "refhost/refhost.h"
#include "refhost/texts.h"

namespace fxhost {

// Texts of `language` ("DEU"), or of the library the module picked for the
// user's locale when `language` is empty.
refhost::Texts LoadTexts(const refhost::Module& module, const std::string& language);

// "0x8007000E (out of memory)".
std::string StatusText(kzr::Status status);

// Prepares the instance for a frame size; throws refhost::Error when the
// effect refuses.
void PrepareOrThrow(refhost::Instance& fx, uint32_t width, uint32_t height);

// Renders src into dst, both of the prepared size.  Throws refhost::Error
// when the effect refuses.
void RenderOver(refhost::Instance& fx, const uint32_t* src, uint32_t* dst);

// Renders one frame (a std::vector or a refhost::FramePixels).  The
// destination is first filled with the source, so a byte an effect leaves
// unwritten (the laser keeps the destination's alpha outside its circle)
// carries the source's value rather than a previous frame's.
template <class Frame>
void RenderFrame(refhost::Instance& fx, const Frame& src, Frame& dst) {
    dst = src;
    RenderOver(fx, src.data(), dst.data());
}

// The image at `input`, or the built-in test card when `input` is empty, at
// `size` ("WxH", checked as --size) or `defaultCard` when `size` is empty.
// Throws refhost::Error for an unreadable image or one beyond `limits`.
Image InputOrTestCard(const std::string& input, const std::string& size, Size defaultCard,
                      const ReadLimits& limits);

// Settings of the host context that the command line can change.
struct ContextOptions {
    int cpuLevel = -1;      // -1: detected
    int tasks = 0;          // 0: one per processor core
    std::string reference;  // "WxH"; empty: none
};
void ApplyContext(refhost::Instance& fx, const ContextOptions& options);
// The task count ApplyContext gives the effects: --tasks, or the number of
// processor cores, as an editor offers an effect every core it has.
int TaskCountOf(const ContextOptions& options);

// --set KEY=VALUE: the key ("P1") or display name ("Degree", also in the
// language of `texts`), the value as text.
void ApplySet(refhost::Instance& fx, const refhost::Texts& texts, const std::string& assignment);

}  // namespace fxhost
