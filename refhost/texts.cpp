#include "refhost/texts.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <locale>
#include <set>

#include "module/resource_name.h"
#include "refhost/library.h"

namespace refhost {
namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The library name for a language suffix, by the module's own naming rule.
std::string LibraryName(const Module& module, const std::string& suffix) {
    const library::NativePath path = library::ToNative(module.Path());
    const library::NativePath tail = library::ToNative(suffix);
    library::NativePath out(path.size() + tail.size() + 8, 0);
    if (!kzr::ComposeResourceName(path.c_str(), tail.c_str(), out.data(), out.size()))
        throw Error("cannot compose a language library name for " + module.Path());
    out.resize(out.find(kzr::platform::PathChar(0)));
    return library::FromNative(out);
}

// "ENU" for ".../KZR_PlugIn_6_ENU.DLL".
std::string LanguageOf(const std::string& path) {
    const size_t underscore = path.rfind('_');
    const size_t dot = path.rfind('.');
    if (underscore == std::string::npos || dot == std::string::npos || dot < underscore)
        return "";
    return path.substr(underscore + 1, dot - underscore - 1);
}

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items)
        out += (out.empty() ? "" : ", ") + s;
    return out;
}

}  // namespace

std::string_view PlainKey(std::string_view key) {
    return key.substr(0, key.find(';'));
}

std::vector<std::string> ResourceKeys(const kzr::ModuleDescriptor& module) {
    std::vector<std::string> keys;
    std::set<std::string, std::less<>> seen;
    const auto add = [&](const char* key) {
        if (key == nullptr)
            return;
        const std::string_view plain = PlainKey(key);
        if (!plain.empty() && seen.emplace(plain).second)
            keys.emplace_back(plain);
    };
    add(module.NameKey);
    add(module.DescKey);
    for (uint64_t i = 0; i < module.EffectCount; ++i) {
        const kzr::EffectDescriptor& fx = module.Effects[i];
        add(fx.NameKey);
        add(fx.DescKey);
        for (uint32_t p = 0; p < fx.ParamCount(); ++p) {
            add(fx.Params[p].NameKey);
            add(fx.Params[p].DescKey);
        }
    }
    return keys;
}

Texts Texts::FromModule(const Module& module) {
    Texts texts;
    void* handle = module.Descriptor().ResourceHandle;
    if (handle != nullptr && handle != module.Descriptor().ModuleHandle)
        texts.lookup_ = reinterpret_cast<kzr::ResourceTextFn>(
            library::Symbol(handle, kzr::kResourceTextSymbol));
    if (texts.lookup_ != nullptr) {
        texts.path_ = library::PathOf(handle);
        texts.language_ = LanguageOf(texts.path_);
        return texts;
    }
    // The module found no library for the user's language: show English,
    // as programs do for untranslated languages, when its library is there.
    try {
        return ForLanguage(module, kFallbackLanguage);
    } catch (const Error&) {
        return texts;
    }
}

Texts Texts::ForLanguage(const Module& module, std::string_view language) {
    const bool plain = !language.empty() && language.size() <= 7 &&
                       std::all_of(language.begin(), language.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c));
                       });
    const std::string available = Join(AvailableLanguages(module));
    if (!plain)
        throw Error("'" + std::string(language) +
                    "' is not a language abbreviation; use three letters such as " +
                    (available.empty() ? std::string("ENU") : available));
    const std::string path = LibraryName(module, Upper(language));
    if (!std::filesystem::exists(path))
        throw Error("no language library " + path + "; languages at hand: " +
                    (available.empty() ? std::string("none") : available));
    std::string reason;
    void* handle = library::Open(path, &reason);
    if (handle == nullptr)
        throw Error("cannot load language library " + path + ": " + reason);
    Texts texts;
    texts.owned_ = std::shared_ptr<void>(handle, [](void* h) { library::Close(h); });
    texts.lookup_ =
        reinterpret_cast<kzr::ResourceTextFn>(library::Symbol(handle, kzr::kResourceTextSymbol));
    if (texts.lookup_ == nullptr)
        throw Error(path + " is not a language library: it has no " + kzr::kResourceTextSymbol);
    texts.path_ = path;
    texts.language_ = Upper(language);
    return texts;
}

std::optional<std::string> Texts::Find(std::string_view key) const {
    if (lookup_ == nullptr)
        return std::nullopt;
    const std::string plain(PlainKey(key));
    const char* text = lookup_(plain.c_str());
    if (text == nullptr)
        return std::nullopt;
    return std::string(text);
}

std::string Texts::Text(std::string_view key) const {
    std::optional<std::string> text = Find(key);
    return text ? *text : NameFromKey(key);
}

std::vector<std::string> AvailableLanguages(const Module& module) {
    // Every "<base>_<suffix>.DLL" beside the module.
    const std::string pattern = LibraryName(module, "");  // "<base>_.DLL"
    const std::filesystem::path prefix = pattern.substr(0, pattern.size() - 4);
    const std::filesystem::path dir = prefix.parent_path();
    const std::string start = prefix.filename().string();
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir.empty() ? "." : dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > start.size() + 4 && name.compare(0, start.size(), start) == 0 &&
            name.compare(name.size() - 4, 4, ".DLL") == 0)
            out.push_back(name.substr(start.size(), name.size() - start.size() - 4));
    }
    std::sort(out.begin(), out.end());
    return out;
}

size_t FindParam(const kzr::EffectDescriptor& fx, const Texts& texts, std::string_view keyOrName) {
    const std::string wanted = Lower(keyOrName);
    std::string valid;
    const size_t own = OwnParamCount(fx);
    for (size_t i = 0; i < own; ++i) {
        const kzr::ParamDescriptor& p = fx.Params[i];
        const std::string name = texts.Text(p.NameKey);
        if (wanted == Lower(p.Key) || wanted == Lower(name) ||
            wanted == Lower(NameFromKey(p.NameKey)))
            return i;
        valid += (valid.empty() ? "" : ", ") + std::string(p.Key) + " (" + name + ")";
    }
    throw Error("unknown parameter '" + std::string(keyOrName) + "' of " + ShortName(fx) +
                "; valid parameters: " + (valid.empty() ? std::string("none") : valid));
}

std::u32string DecodeUtf8(std::string_view utf8, bool* valid) {
    using Converter = std::codecvt<char32_t, char8_t, std::mbstate_t>;
    const Converter& converter = std::use_facet<Converter>(std::locale::classic());
    std::u32string out(utf8.size(), U'\0');  // never more code points than bytes
    const auto* from = reinterpret_cast<const char8_t*>(utf8.data());
    const auto* const end = from + utf8.size();
    char32_t* to = out.data();
    bool clean = true;
    while (from < end) {
        std::mbstate_t state{};
        const char8_t* fromNext = from;
        char32_t* toNext = to;
        converter.in(state, from, end, fromNext, to, out.data() + out.size(), toNext);
        from = fromNext, to = toNext;
        if (from < end) {  // stopped at a malformed or truncated sequence
            *to++ = U'\uFFFD';
            ++from;
            clean = false;
        }
    }
    out.resize(static_cast<size_t>(to - out.data()));
    if (valid != nullptr)
        *valid = clean;
    return out;
}

}  // namespace refhost
