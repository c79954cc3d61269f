#include "apps/fxhost/list.h"

#include <algorithm>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "apps/fxhost/common.h"
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

using Json = nlohmann::ordered_json;

// A number exactly as the table states it ("0.02", "1e-05"), parsed so that
// it is written back the same way.
Json Number(const std::string& text) {
    return Json::parse(text);
}

Json Value(const refhost::ParamValue& v) {
    if (v.isText)
        return v.text ? Json(*v.text) : Json(nullptr);
    if (v.numbers.size() == 1)
        return Number(v.numbers[0]);
    Json list = Json::array();
    for (const std::string& n : v.numbers)
        list.push_back(Number(n));
    return list;
}

Json Params(const std::vector<refhost::ParamInfo>& params) {
    Json list = Json::array();
    for (const auto& p : params) {
        Json item = {{"key", p.key},
                     {"name", p.name},
                     {"description", p.description.empty() ? Json(nullptr) : Json(p.description)},
                     {"type", p.type}};
        if (!p.choices.empty())
            item["choices"] = p.choices;
        item["min"] = Value(p.min);
        item["max"] = Value(p.max);
        item["default"] = Value(p.defaultValue);
        list.push_back(std::move(item));
    }
    return list;
}

const auto OrNull = [](const std::string& s) { return s.empty() ? Json(nullptr) : Json(s); };

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
    Json effects = Json::array();
    for (const auto& fx : info.effects)
        effects.push_back({{"index", fx.index},
                           {"id", fx.id},
                           {"short_name", fx.shortName},
                           {"name", fx.name},
                           {"description", fx.description},
                           {"available", fx.available},
                           {"parameters", Params(fx.params)},
                           {"host_parameters", Params(fx.hostParams)}});
    const Json doc = {{"module",
                       {{"name", info.name},
                        {"description", info.description},
                        {"language", OrNull(info.language)},
                        {"language_library", OrNull(info.library)}}},
                      {"effects", std::move(effects)}};
    out << doc.dump(2) << "\n";
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
