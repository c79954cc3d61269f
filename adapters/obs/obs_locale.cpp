// kzr_obs_locale MODULE OUTDIR: writes the OBS module's locale files,
// OUTDIR/en-US.ini and OUTDIR/de-DE.ini, from the language libraries beside
// MODULE: one `KEY="text"` line per resource key of the descriptor tables,
// so OBS shows the same names as every other host.  A file whose content is
// unchanged is left alone.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "refhost/refhost.h"
#include "refhost/texts.h"

namespace fs = std::filesystem;

namespace {

// The module's three-letter languages and OBS's names for them.
constexpr struct {
    std::string_view module, obs;
} kLocales[] = {{"ENU", "en-US"}, {"DEU", "de-DE"}};

// OBS's text files unescape \n and \" inside quoted values.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

void WriteIfChanged(const fs::path& path, const std::string& text) {
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream old;
        if (in && (old << in.rdbuf()) && old.str() == text)
            return;
    }
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: %s MODULE OUTDIR\n"
                     "  MODULE  path of KZR_PlugIn_6.so, with its language libraries beside it\n"
                     "  OUTDIR  folder that receives en-US.ini and de-DE.ini\n",
                     argv[0]);
        return 2;
    }
    try {
        const refhost::Module module(argv[1]);
        for (const auto& locale : kLocales) {
            const refhost::Texts texts = refhost::Texts::ForLanguage(module, locale.module);
            std::string ini = "# Written by kzr_obs_locale from " +
                              fs::path(texts.LibraryPath()).filename().string() + "\n";
            for (const std::string& key : refhost::ResourceKeys(module.Descriptor())) {
                const auto text = texts.Find(key);
                if (!text)
                    throw std::runtime_error(texts.LibraryPath() + " has no text for " + key);
                ini += key + "=" + Quoted(*text) + "\n";
            }
            WriteIfChanged(fs::path(argv[2]) / (std::string(locale.obs) + ".ini"), ini);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kzr_obs_locale: %s\n", e.what());
        return 1;
    }
}
