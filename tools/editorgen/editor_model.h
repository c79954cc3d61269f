// What a video editor needs to know about the frei0r plug-ins to offer the
// effects with their own controls: per plug-in its display name and
// description in English and German, and per frei0r parameter its display
// name, its range and the adapter's scale (what the frei0r value 1 stands for),
// the default as the frei0r value a fresh instance reports, and a step and
// number of decimals for the editor's spin boxes.  Read from the module's
// descriptor tables and its language libraries, never written by hand.
#pragma once
#include <string>
#include <vector>

#include "adapters/frei0r/frei0r_adapter.h"
#include "refhost/refhost.h"

namespace editorgen {

// A text in the two languages the editors' descriptions carry.
struct Bilingual {
    std::string en, de;
};

struct EditorParam {
    kzr_frei0r::Control control;  // kind, range, MLT/frei0r property name
    Bilingual name;               // "Degree" / "Stärke"; positions "Position X"
    Bilingual description;        // empty when the parameter has none
    double unitDefault = 0;       // frei0r value of the default (0..1)
    float displayDefault = 0;     // the default in the parameter's own range
    int decimals = 0;             // shown decimals of a number
    double step = 1;              // spin box step of a number

    bool IsNumber() const { return control.kind != kzr_frei0r::Control::Kind::kSwitch; }
};

struct EditorEffect {
    std::string plugin;   // "kzr_drain": the frei0r plug-in and its file name
    std::string service;  // "frei0r.kzr_drain": the MLT service
    std::string author;
    Bilingual name, description;
    std::vector<EditorParam> params;

    bool HasPosition() const;
};

struct EditorCatalog {
    Bilingual moduleName;  // the category the effects are listed under
    std::vector<EditorEffect> effects;
};

// Every effect the module carries.  Throws refhost::Error when a language
// library is missing.
EditorCatalog ReadCatalog(const refhost::Module& module);

// Shortest decimal text that reads back as the same float / double.
std::string ShortestFloat(float v);
std::string ShortestDouble(double v);

}  // namespace editorgen
