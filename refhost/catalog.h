// A description of the module for people: every effect with its display
// name, description and parameters (type, range, default), with the texts of
// one language.  fxhost list prints it as text or JSON.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "abi/descriptors.h"
#include "refhost/refhost.h"
#include "refhost/texts.h"

namespace refhost {

// One value of a parameter: the components of a number, switch, position or
// rectangle as shortest decimal text (valid JSON numbers), or a string.
struct ParamValue {
    std::vector<std::string> numbers;
    bool isText = false;
    std::optional<std::string> text;  // a text parameter's value; nullopt for none

    // "0.02", "0.5,0.5", "\"\"" or "none".
    std::string Display() const;
};

struct ParamInfo {
    std::string key;          // "P1", "MP2", ...
    std::string name;         // display name
    std::string description;  // empty when the parameter has none
    std::string type;  // "number", "switch", "position", "choice", "integer", "rectangle", "text"
    std::vector<std::string> choices;  // choice words of a "choice" parameter
    ParamValue min, max, defaultValue;
};

struct EffectInfo {
    size_t index = 0;
    std::string id;
    std::string shortName;  // what fxhost takes on its command line
    std::string name;
    std::string description;
    bool available = false;             // callbacks present in this module
    std::vector<ParamInfo> params;      // the effect's own controls
    std::vector<ParamInfo> hostParams;  // the common mask/metadata block the host interprets
};

struct ModuleInfo {
    std::string name;
    std::string description;
    std::string language;  // "ENU"; empty when the names come from the keys
    std::string library;   // path of the language library, or empty
    std::vector<EffectInfo> effects;
};

ParamInfo DescribeParam(const kzr::ParamDescriptor& p, const Texts& texts);
EffectInfo DescribeEffect(const Module& module, size_t index, const Texts& texts);
ModuleInfo Describe(const Module& module, const Texts& texts);

// Decimals and step for a spin box of a number spanning lo..hi: about a
// hundredth of the span, rounded down to a power of ten.
void ChooseStep(float lo, float hi, int* decimals, double* step);

}  // namespace refhost
