// How an effect's own parameters appear as OBS filter settings, without
// anything of libobs: the setting names a scene file stores, the ranges,
// steps and defaults of the sliders, and the checks a stored value passes
// before it reaches the effect.
//
// A number is one slider in the parameter's own range ("degree", 1 to 50); a
// switch is a check box ("inverse"); a position is two sliders, "<name>_x"
// and "<name>_y", each in its component's range.  Names come from the
// resource keys, so they are the same in every language.  The common
// mask/metadata block stays at the effect's defaults.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "refhost/refhost.h"

namespace kzr_obs {

struct Control {
    enum class Kind { kNumber, kSwitch, kPositionX, kPositionY };
    Kind kind = Kind::kNumber;
    size_t param = 0;               // index in the effect's parameter table
    std::string setting;            // "degree", "position_x"
    const char* nameKey = "";       // resource key of the parameter's name
    const char* descKey = nullptr;  // resource key of its description, if any
    float lo = 0, hi = 1;           // range of the number or the position component
    double step = 1;                // slider step: about a hundredth of the range
    float defaultValue = 0;         // 0 or 1 for a switch
};

// One effect as an OBS filter.
struct EffectEntry {
    size_t index = 0;  // in the module's effect table
    std::string id;    // OBS source id, "kzr_drain"
    const char* nameKey = "";
    const char* descKey = "";
    std::vector<Control> controls;
};

// The controls of an effect in table order, with the defaults a fresh
// instance holds.
EffectEntry DescribeEffect(const refhost::Module& module, size_t index);

// Slider step for lo..hi: a hundredth of the span, rounded down to a power of ten.
double StepFor(float lo, float hi);

// A stored value checked against its control.  `value` is what the effect
// gets; `problem` is empty or says what was wrong and what was used instead,
// for the log.
struct Checked {
    float value = 0;
    std::string problem;
};
Checked CheckNumber(const Control& c, double stored);

// Writes values (one per control, in order) into the instance's parameter
// blob.  A changed flag is raised, and true returned, only for values that
// differ from what the blob holds, so the maps are rebuilt only when a
// setting really changed.
bool ApplyValues(refhost::Instance& fx, const std::vector<Control>& controls, const float* values);

}  // namespace kzr_obs
