// POSIX side of the platform layer: the module handle is the library's load
// address, paths come from dladdr, the language from the locale variables.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "abi/descriptors.h"
#include "module/platform.h"

namespace kzr::platform {
namespace {

bool SelfInfo(Dl_info* info) {
    return dladdr(reinterpret_cast<const void*>(&SelfHandle), info) != 0;
}

struct LocaleEntry {
    const char* locale;  // "ll_TT", or "ll" for the language's default
    const char* abbreviation;
};

// Locale names and the abbreviations Windows reports for them.
constexpr LocaleEntry kLocales[] = {
    {"en_US", "ENU"}, {"en_GB", "ENG"}, {"en_AU", "ENA"}, {"en_CA", "ENC"}, {"en_NZ", "ENZ"},
    {"en_IE", "ENI"}, {"en_ZA", "ENS"}, {"en", "ENU"},    {"de_DE", "DEU"}, {"de_AT", "DEA"},
    {"de_CH", "DES"}, {"de_LU", "DEL"}, {"de", "DEU"},    {"fr_FR", "FRA"}, {"fr_BE", "FRB"},
    {"fr_CA", "FRC"}, {"fr_CH", "FRS"}, {"fr_LU", "FRL"}, {"fr", "FRA"},    {"es_ES", "ESN"},
    {"es_MX", "ESM"}, {"es", "ESN"},    {"it_IT", "ITA"}, {"it_CH", "ITS"}, {"it", "ITA"},
    {"ja_JP", "JPN"}, {"ja", "JPN"},    {"ko_KR", "KOR"}, {"ko", "KOR"},    {"zh_CN", "CHS"},
    {"zh_SG", "ZHI"}, {"zh_TW", "CHT"}, {"zh_HK", "ZHH"}, {"zh", "CHS"},    {"pt_BR", "PTB"},
    {"pt_PT", "PTG"}, {"pt", "PTB"},    {"nl_NL", "NLD"}, {"nl_BE", "NLB"}, {"nl", "NLD"},
    {"ru_RU", "RUS"}, {"ru", "RUS"},    {"pl_PL", "PLK"}, {"pl", "PLK"},    {"sv_SE", "SVE"},
    {"sv_FI", "SVF"}, {"sv", "SVE"},    {"da_DK", "DAN"}, {"da", "DAN"},    {"fi_FI", "FIN"},
    {"fi", "FIN"},    {"nb_NO", "NOR"}, {"nb", "NOR"},    {"nn_NO", "NON"}, {"nn", "NON"},
    {"cs_CZ", "CSY"}, {"cs", "CSY"},    {"hu_HU", "HUN"}, {"hu", "HUN"},    {"tr_TR", "TRK"},
    {"tr", "TRK"},    {"el_GR", "ELL"}, {"el", "ELL"},    {"uk_UA", "UKR"}, {"uk", "UKR"},
    {"he_IL", "HEB"}, {"he", "HEB"},    {"ar_SA", "ARA"}, {"ar", "ARA"},    {"th_TH", "THA"},
    {"th", "THA"},
};

const char* Lookup(std::string_view name) {
    for (const LocaleEntry& e : kLocales)
        if (name == e.locale)
            return e.abbreviation;
    return nullptr;
}

// Module handle recorded when the library is loaded, as an attach handler does.
__attribute__((constructor)) void OnLoad() {
    TheModule().ModuleHandle = SelfHandle();
}

}  // namespace

void* SelfHandle() {
    Dl_info info;
    return SelfInfo(&info) ? info.dli_fbase : nullptr;
}

bool SelfPath(PathChar* buf, size_t capacity) {
    Dl_info info;
    if (!SelfInfo(&info) || info.dli_fname == nullptr)
        return false;
    const size_t n = std::strlen(info.dli_fname);
    if (n + 1 > capacity)
        return false;
    std::memcpy(buf, info.dli_fname, n + 1);
    return true;
}

void LanguageAbbreviation(PathChar* buf, size_t capacity) {
    if (capacity == 0)
        return;
    buf[0] = '\0';
    const char* value = nullptr;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v != nullptr && *v != '\0') {
            value = v;
            break;
        }
    }
    // "ll_TT.codeset@modifier": keep "ll_TT", then fall back to "ll".
    std::string_view name(value != nullptr ? value : "C");
    name = name.substr(0, name.find_first_of(".@"));
    // The C and POSIX locales (and no locale at all) are the system's
    // untranslated default, which is English.
    const char* abbreviation = name == "C" || name == "POSIX" ? "ENU" : Lookup(name);
    if (abbreviation == nullptr)
        abbreviation = Lookup(name.substr(0, name.find('_')));
    if (abbreviation == nullptr || std::strlen(abbreviation) + 1 > capacity)
        return;
    std::strcpy(buf, abbreviation);
}

bool PathExists(const PathChar* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

void* LoadLibrary(const PathChar* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void FreeLibrary(void* handle) {
    if (handle != nullptr)
        dlclose(handle);
}

}  // namespace kzr::platform
