// The host side of the effects as GEGL operations, without GEGL itself: what
// each operation is called and which properties it has (from the module's
// descriptor tables and texts), and one prepared effect instance that
// renders whole pictures of R'G'B'A u8 pixels.
//
// A number parameter is a double property with the parameter's range as
// both its value range and its UI range; a switch is a boolean; a position
// is two doubles, "x" and "y", each with its component's range, marked as
// coordinates relative to the picture (GIMP offers to pick them on the
// canvas).  Property names are the English parameter names in GEGL's
// spelling ("degree", "x-offset"); labels and descriptions come in the
// language of the texts handed in.  The common mask/metadata block is left
// to the effect's defaults.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "refhost/refhost.h"
#include "refhost/texts.h"

namespace kzr_gegl {

struct Property {
    enum class Kind { kNumber, kSwitch, kPositionX, kPositionY };
    Kind kind = Kind::kNumber;
    size_t param = 0;                    // index in the effect's parameter table
    std::string name;                    // "degree", "x-offset", "x"
    std::string label;                   // "Degree", "Stärke", "Position X"
    std::string description;             // the parameter's description, else its label
    float lo = 0, hi = 0;                // range of the number or the position component
    float defaultValue = 0;              // a switch: 0 or 1
    double stepSmall = 1, stepBig = 10;  // spin-box steps of a number
    int digits = 0;                      // shown decimals of a number
};

struct Operation {
    size_t effect = 0;     // index in the module's effect table
    std::string name;      // "kzr:drain"
    std::string typeName;  // GType name, "KzrGegl_drain"
    std::string title;     // "Drain"
    std::string description;
    std::vector<Property> properties;
};

// One operation per effect the module carries: names from `english`,
// labels, titles and descriptions from `texts`.
std::vector<Operation> Operations(const refhost::Module& module, const refhost::Texts& english,
                                  const refhost::Texts& texts);

// A property value as the operation stores it: clamped to the range; NaN
// keeps `previous`.  Switches are 0 or 1.
double Clamp(const Property& p, double value, double previous);

// One effect instance for pictures of one size at a time, with the two
// pictures it renders from and into.  Every allocation happens in Prepare,
// when the size changes; rendering again allocates nothing.
class Renderer {
  public:
    // Creates the effect with one task per processor core and the
    // processor's own capability level.
    Renderer(const refhost::Module& module, const Operation& op);

    // Makes the instance ready for width x height pictures; does nothing
    // when it already is.  False when the module refuses the size (the
    // message says why) or memory runs out.
    bool Prepare(uint32_t width, uint32_t height, std::string* why);

    // The source picture of the prepared size, packed rows of RGBA bytes,
    // for the caller to fill.
    uint8_t* Source() { return reinterpret_cast<uint8_t*>(source_.data()); }

    // Stores the property values (one per property, in table order) in the
    // instance, raising a parameter's changed flag only when its value
    // differs, then renders the source.  The result starts as a copy of the
    // source, so bytes the effect leaves alone carry the source's values, as
    // in fxhost.  Null when the module refuses the frame.
    const uint8_t* Render(const double* values);

  private:
    void Store(const double* values);

    const Operation& op_;
    refhost::Instance fx_;
    uint32_t width_ = 0, height_ = 0;
    bool prepared_ = false;
    std::vector<uint32_t> source_, result_;
};

}  // namespace kzr_gegl
