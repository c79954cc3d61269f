// The host side of one effect as a frei0r filter: how the effect's own
// parameters appear as frei0r parameters, and one filter instance driving
// the effect through the reference host.
//
// frei0r parameters are doubles from 0 to 1 (booleans are doubles too, 0 or
// 1).  A number is its own value divided by its scale: the larger of 1 and
// the top of its range (the module's ranges start at 0 or above).  So a
// number whose range lies within 0..1 is given as itself (Degree 0.05 is
// 0.05), one whose range reaches above 1 as a fraction of its top (Degree
// 1..50: 0.5 is 25), and an editor that shows a stored value times a factor
// shows the parameter's own value with the scale as its factor.  Values
// below the range's bottom stop there.  A position becomes two numbers, "X"
// then "Y", each its component's value the same way (frei0r positions are
// not used because some hosts never set them).  The common mask/metadata
// block is left to the effect's defaults.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "abi/descriptors.h"
#include "refhost/refhost.h"
#include "refhost/texts.h"

namespace kzr_frei0r {

struct Control {
    enum class Kind { kNumber, kSwitch, kPositionX, kPositionY };
    Kind kind = Kind::kNumber;
    size_t param = 0;         // index in the effect's parameter table
    float lo = 0, hi = 0;     // range of the number or the position component
    double scale = 1;         // the value that the frei0r value 1 stands for
    std::string name;         // "Degree", "X"
    std::string explanation;  // English text plus the range and the scale
};

// The frei0r parameters of an effect, in its table order.
std::vector<Control> Controls(const kzr::EffectDescriptor& fx, const refhost::Texts& texts);

// Stores a frei0r value (clamped to 0..1; NaN is ignored) into the
// instance's parameter blob.  The changed flag is raised, and true returned,
// only when the stored value differs from what the blob held, so a host that
// sets every parameter before every frame does not cause map rebuilds.
bool SetControl(refhost::Instance& fx, const Control& c, double value);
// The frei0r value of what the blob holds; SetControl of it keeps the blob.
double GetControl(refhost::Instance& fx, const Control& c);

// One prepared instance for frames of one size.
class Filter {
  public:
    // Creates and prepares the effect with one task per processor core;
    // throws refhost::Error when the module refuses the size.
    Filter(const refhost::Module& module, size_t effectIndex, const std::vector<Control>& controls,
           uint32_t width, uint32_t height);

    // Out-of-range indexes are ignored (Get leaves *value alone).
    void Set(int index, double value);
    void Get(int index, double* value);

    // Renders one frame of width x height RGBA pixels.  The output first
    // receives the input, so bytes the effect does not write (the laser
    // keeps the destination's alpha outside its circle) carry the input's.
    // in and out may be the same buffer.  A frame the module refuses is
    // passed through unchanged.
    void Update(const uint32_t* in, uint32_t* out);

    refhost::Instance& Instance() { return fx_; }

  private:
    refhost::Instance fx_;
    const std::vector<Control>& controls_;
    uint32_t width_, height_;
    std::vector<uint32_t> scratch_;  // copy of the input when it overlaps the output
};

}  // namespace kzr_frei0r
