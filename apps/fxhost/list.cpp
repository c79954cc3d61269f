#include "apps/fxhost/list.h"

#include <algorithm>
#include <cstdlib>

#include "apps/fxhost/common.h"
#include "apps/fxhost/json.h"
#include "apps/fxhost/options.h"

namespace fxhost {
namespace {

// A choice parameter's value as its word ("none" for 2 of box|circle|none).
std::string ChoiceWord(const refhost::ParamInfo& p, const refhost::ParamValue& v) {
    if (v.numbers.size() == 1) {
        const long i = std::strtol(v.numbers[0].c_str(), nullptr, 10);
        if (i >= 0 && static_cast<size_t>(i) < p.choices.size())
            return p.choices[static_cast<size_t>(i)];
    }
    return v.Display();
}

std::string Range(const refhost::ParamInfo& p) {
    if (p.type == "choice") {
        std::string words;
        for (const std::string& c : p.choices)
            words += (words.empty() ? "" : "|") + c;
        return words;
    }
    if (p.type == "text")
        return "text";
    if (p.type == "switch")
        return "0|1";
    return p.min.Display() + " .. " + p.max.Display();
}

std::string Default(const refhost::ParamInfo& p) {
    return p.type == "choice" ? ChoiceWord(p, p.defaultValue) : p.defaultValue.Display();
}

void PrintParams(const std::vector<refhost::ParamInfo>& params, std::ostream& out) {
    size_t keyW = 0, nameW = 0, typeW = 0, rangeW = 0;
    for (const auto& p : params) {
        keyW = std::max(keyW, DisplayWidth(p.key));
        nameW = std::max(nameW, DisplayWidth(p.name));
        typeW = std::max(typeW, DisplayWidth(p.type));
        rangeW = std::max(rangeW, DisplayWidth(Range(p)));
    }
    for (const auto& p : params) {
        out << "    " << Pad(p.key, keyW) << "  " << Pad(p.name, nameW) << "  "
            << Pad(p.type, typeW) << "  " << Pad(Range(p), rangeW) << "  default " << Default(p)
            << "\n";
        if (!p.description.empty())
            out << "    " << std::string(keyW + 2, ' ') << p.description << "\n";
    }
}

void WriteValue(JsonWriter& json, const refhost::ParamValue& v) {
    if (v.isText) {
        if (v.text)
            json.String(*v.text);
        else
            json.Null();
    } else if (v.numbers.size() == 1) {
        json.RawNumber(v.numbers[0]);
    } else {
        json.BeginInlineArray();
        for (const std::string& n : v.numbers)
            json.RawNumber(n);
        json.EndArray();
    }
}

void WriteParams(JsonWriter& json, const std::vector<refhost::ParamInfo>& params) {
    json.BeginArray();
    for (const auto& p : params) {
        json.BeginObject();
        json.Key("key").String(p.key);
        json.Key("name").String(p.name);
        json.Key("description");
        if (p.description.empty())
            json.Null();
        else
            json.String(p.description);
        json.Key("type").String(p.type);
        if (!p.choices.empty()) {
            json.Key("choices").BeginInlineArray();
            for (const std::string& c : p.choices)
                json.String(c);
            json.EndArray();
        }
        json.Key("min");
        WriteValue(json, p.min);
        json.Key("max");
        WriteValue(json, p.max);
        json.Key("default");
        WriteValue(json, p.defaultValue);
        json.EndObject();
    }
    json.EndArray();
}

}  // namespace

void PrintCatalogText(const refhost::ModuleInfo& info, std::ostream& out) {
    out << info.name;
    if (!info.language.empty())
        out << "  (language " << info.language << ": " << info.library << ")";
    else
        out << "  (no language library; names derived from the resource keys)";
    out << "\n";
    if (!info.description.empty())
        out << info.description << "\n";

    size_t shortW = 0;
    for (const auto& fx : info.effects)
        shortW = std::max(shortW, fx.shortName.size());
    for (const auto& fx : info.effects) {
        out << "\n" << Pad(fx.shortName, shortW) << "  " << fx.name;
        if (!fx.available)
            out << "  (not built into this module)";
        out << "\n";
        if (!fx.description.empty())
            out << "    " << fx.description << "\n";
        PrintParams(fx.params, out);
    }

    // The common block is the same in every effect: shown once.
    if (!info.effects.empty() && !info.effects.front().hostParams.empty()) {
        out << "\nHost-only parameters of every effect (mask, metadata and salient region; "
               "interpreted by the host, not by the effects):\n";
        PrintParams(info.effects.front().hostParams, out);
    }
}

void PrintCatalogJson(const refhost::ModuleInfo& info, std::ostream& out) {
    JsonWriter json(out);
    json.BeginObject();
    json.Key("module").BeginObject();
    json.Key("name").String(info.name);
    json.Key("description").String(info.description);
    json.Key("language");
    if (info.language.empty())
        json.Null();
    else
        json.String(info.language);
    json.Key("language_library");
    if (info.library.empty())
        json.Null();
    else
        json.String(info.library);
    json.EndObject();
    json.Key("effects").BeginArray();
    for (const auto& fx : info.effects) {
        json.BeginObject();
        json.Key("index").Number(static_cast<double>(fx.index));
        json.Key("id").String(fx.id);
        json.Key("short_name").String(fx.shortName);
        json.Key("name").String(fx.name);
        json.Key("description").String(fx.description);
        json.Key("available").Bool(fx.available);
        json.Key("parameters");
        WriteParams(json, fx.params);
        json.Key("host_parameters");
        WriteParams(json, fx.hostParams);
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
}

void List(const std::string& modulePath, const ListOptions& options, std::ostream& out) {
    refhost::Module module(modulePath);
    const refhost::Texts texts = LoadTexts(module, options.language);
    const refhost::ModuleInfo info = refhost::Describe(module, texts);
    if (options.json)
        PrintCatalogJson(info, out);
    else
        PrintCatalogText(info, out);
}

}  // namespace fxhost
