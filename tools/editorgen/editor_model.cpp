#include "tools/editorgen/editor_model.h"

#include <charconv>
#include <cstring>

#include "refhost/catalog.h"
#include "refhost/texts.h"

namespace editorgen {
namespace {

using Kind = kzr_frei0r::Control::Kind;

template <class T>
std::string Shortest(T v) {
    char buf[40];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

Bilingual Text(const refhost::Texts& en, const refhost::Texts& de, const char* key) {
    if (key == nullptr)
        return {};
    return {en.Text(key), de.Text(key)};
}

float StoredFloat(refhost::Instance& fx, size_t param, size_t component) {
    float v;
    std::memcpy(&v, fx.Blob() + fx.ParamOffset(param) + 4 * component, 4);
    return v;
}

}  // namespace

std::string ShortestFloat(float v) {
    return Shortest(v);
}

std::string ShortestDouble(double v) {
    return Shortest(v);
}

bool EditorEffect::HasPosition() const {
    for (const EditorParam& p : params)
        if (p.control.kind == Kind::kPositionX)
            return true;
    return false;
}

EditorCatalog ReadCatalog(const refhost::Module& module) {
    const refhost::Texts en = refhost::Texts::ForLanguage(module, "ENU");
    const refhost::Texts de = refhost::Texts::ForLanguage(module, "DEU");
    EditorCatalog catalog;
    catalog.moduleName = Text(en, de, module.Descriptor().NameKey);
    for (size_t i = 0; i < module.EffectCount(); ++i) {
        if (!module.Available(i))
            continue;
        const kzr::EffectDescriptor& fx = module.Effect(i);
        EditorEffect e;
        e.plugin = "kzr_" + refhost::ShortName(fx);
        e.service = "frei0r." + e.plugin;
        e.author = fx.Author != nullptr ? fx.Author : "";
        e.name = Text(en, de, fx.NameKey);
        e.description = Text(en, de, fx.DescKey);

        // A fresh instance holds the defaults that Create wrote; the
        // adapter turns them into the frei0r values a host reads back.
        refhost::Instance instance(module, i);
        for (const kzr_frei0r::Control& c : kzr_frei0r::Controls(fx, en)) {
            const kzr::ParamDescriptor& pd = fx.Params[c.param];
            EditorParam p;
            p.control = c;
            p.name = Text(en, de, pd.NameKey);
            p.description = Text(en, de, pd.DescKey);
            p.unitDefault = kzr_frei0r::GetControl(instance, c);
            switch (c.kind) {
                case Kind::kNumber:
                    p.displayDefault = StoredFloat(instance, c.param, 0);
                    break;
                case Kind::kPositionX:
                case Kind::kPositionY: {
                    const bool x = c.kind == Kind::kPositionX;
                    p.displayDefault = StoredFloat(instance, c.param, x ? 0 : 1);
                    p.name.en += x ? " X" : " Y";
                    p.name.de += x ? " X" : " Y";
                    break;
                }
                case Kind::kSwitch:
                    p.displayDefault = p.unitDefault >= 0.5 ? 1.0f : 0.0f;
                    break;
            }
            if (p.IsNumber())
                refhost::ChooseStep(c.lo, c.hi, &p.decimals, &p.step);
            e.params.push_back(p);
        }
        catalog.effects.push_back(e);
    }
    return catalog;
}

}  // namespace editorgen
