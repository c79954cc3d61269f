// The command-line host and the language libraries, end to end: the built
// fxhost binary runs in a scratch folder and its outputs are compared with
// the reference host driven in this process.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "apps/fxhost/bench.h"
#include "apps/fxhost/image_io.h"
#include "refhost/testcard.h"
#include "refhost/texts.h"
#include "tests/test_util.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// ---- Running programs --------------------------------------------------------

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadAll(FILE* f) {
    std::string text;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    return text;
}

// This process's environment without the locale variables, plus `overrides`
// ("NAME=value"), so each run picks its language explicitly.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& overrides) {
    const auto name = [](const std::string& v) { return v.substr(0, v.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string v(*e);
        const std::string n = name(v);
        if (n == "LANG" || n == "LC_ALL" || n == "LC_MESSAGES" || n == "LANGUAGE")
            continue;
        bool replaced = false;
        for (const std::string& o : overrides)
            replaced = replaced || name(o) == n;
        if (!replaced)
            env.push_back(v);
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    return env;
}

Outcome RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> environment = ChildEnvironment(env);
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    // The program is looked up on this process's PATH, whatever the child gets.
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome o;
    if (spawned == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        o.status = 127;
    }
    o.out = ReadAll(out);
    o.err = ReadAll(err);
    std::fclose(out);
    std::fclose(err);
    return o;
}

Outcome Fxhost(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), KZR_FXHOST_PATH);
    return RunProgram(args, env);
}

bool HaveFfmpeg() {
    static const bool have = RunProgram({"ffmpeg", "-version"}).status == 0 &&
                             RunProgram({"ffprobe", "-version"}).status == 0;
    return have;
}

#define SKIP_WITHOUT_FFMPEG()                                                               \
    if (!HaveFfmpeg())                                                                      \
    GTEST_SKIP() << "ffmpeg/ffprobe are not installed (apt-get install ffmpeg); the video " \
                    "tests need them"

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Some line of `text` holds all `parts`, in this order.
bool HasLine(const std::string& text, const std::vector<std::string>& parts) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = 0;
        bool all = true;
        for (const std::string& part : parts) {
            at = line.find(part, at);
            if (at == std::string::npos) {
                all = false;
                break;
            }
            at += part.size();
        }
        if (all)
            return true;
    }
    return false;
}

// ---- A small strict JSON reader for fxhost's machine-readable output ----------

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    std::string text;               // a string's value or a number's literal
    std::vector<Json> items;        // array items, or object member values
    std::vector<std::string> keys;  // object member names, parallel to items

    const Json& operator[](const std::string& key) const {
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == key)
                return items[i];
        throw std::runtime_error("no member " + key);
    }
    const Json& operator[](size_t i) const { return items.at(i); }
    float Float() const { return std::strtof(text.c_str(), nullptr); }
    double Double() const { return std::strtod(text.c_str(), nullptr); }
};

class JsonReader {
  public:
    explicit JsonReader(std::string_view s) : s_(s) {}
    Json Document() {
        Json v = Value();
        Space();
        if (at_ != s_.size())
            Fail("text after the document");
        return v;
    }

  private:
    [[noreturn]] void Fail(const std::string& what) {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(at_));
    }
    void Space() {
        while (at_ < s_.size() && std::strchr(" \t\r\n", s_[at_]) != nullptr)
            ++at_;
    }
    bool Eat(char c) {
        Space();
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Eat(c))
            Fail(std::string("expected '") + c + "'");
    }
    bool Word(std::string_view w) {
        if (s_.substr(at_, w.size()) != w)
            return false;
        at_ += w.size();
        return true;
    }
    std::string String() {
        Expect('"');
        std::string out;
        for (;;) {
            if (at_ >= s_.size())
                Fail("unterminated string");
            const char c = s_[at_++];
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                Fail("control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = at_ < s_.size() ? s_[at_++] : '\0';
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'u': {
                    unsigned code = 0;
                    auto [p, ec] = std::from_chars(s_.data() + at_, s_.data() + at_ + 4, code, 16);
                    if (ec != std::errc() || p != s_.data() + at_ + 4 || code >= 0x80)
                        Fail("unsupported \\u escape");
                    out += static_cast<char>(code);
                    at_ += 4;
                    break;
                }
                default:
                    Fail("bad escape");
            }
        }
    }
    Json Value() {
        Space();
        if (at_ >= s_.size())
            Fail("missing value");
        Json v;
        const char c = s_[at_];
        if (c == '{') {
            ++at_;
            v.kind = Json::kObject;
            if (Eat('}'))
                return v;
            do {
                Space();
                v.keys.push_back(String());
                Expect(':');
                v.items.push_back(Value());
            } while (Eat(','));
            Expect('}');
        } else if (c == '[') {
            ++at_;
            v.kind = Json::kArray;
            if (Eat(']'))
                return v;
            do
                v.items.push_back(Value());
            while (Eat(','));
            Expect(']');
        } else if (c == '"') {
            v.kind = Json::kString;
            v.text = String();
        } else if (Word("null")) {
            v.kind = Json::kNull;
        } else if (Word("true") || Word("false")) {
            v.kind = Json::kBool;
            v.boolean = s_[at_ - 1] == 'e' && s_[at_ - 2] == 'u';
        } else {
            const size_t start = at_;
            while (at_ < s_.size() && std::strchr("+-.0123456789eE", s_[at_]) != nullptr)
                ++at_;
            v.kind = Json::kNumber;
            v.text = std::string(s_.substr(start, at_ - start));
            double parsed;
            auto [p, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), parsed);
            if (v.text.empty() || ec != std::errc() || p != v.text.data() + v.text.size())
                Fail("bad number '" + v.text + "'");
        }
        return v;
    }

    std::string_view s_;
    size_t at_ = 0;
};

Json ParseJson(const std::string& text) {
    return JsonReader(text).Document();
}

// ---- Values and frames ------------------------------------------------------------

template <class T>
T ValueAt(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::string Shortest(float v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, end);
}

// The text of a value a fraction t of the way through a parameter's range.
std::string ValueWithin(const kzr::ParamDescriptor& p, float t) {
    const auto along = [t](float lo, float hi) { return Shortest(lo + (hi - lo) * t); };
    if (p.ValueType == kzr::kTypeFloat)
        return along(ValueAt<float>(p.MinValue), ValueAt<float>(p.MaxValue));
    const auto lo = ValueAt<std::array<float, 2>>(p.MinValue);
    const auto hi = ValueAt<std::array<float, 2>>(p.MaxValue);
    return along(lo[0], hi[0]) + "," + along(lo[1], hi[1]);
}

std::vector<uint32_t> Pixels(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> px(bytes.size() / 4);
    std::memcpy(px.data(), bytes.data(), px.size() * 4);
    return px;
}

std::vector<size_t> AvailableEffects() {
    std::vector<size_t> out;
    for (size_t i = 0; i < kzrtest::TheModule().EffectCount(); ++i)
        if (kzrtest::TheModule().Available(i))
            out.push_back(i);
    return out;
}

// The reference host's rendering of one frame, into a destination that holds
// the source beforehand, as fxhost hands it over.
std::vector<uint32_t> RenderHere(size_t effect, const std::vector<uint32_t>& src, uint32_t w,
                                 uint32_t h,
                                 const std::vector<std::pair<std::string, std::string>>& sets,
                                 int cpuLevel = -1, int tasks = 0, uint32_t refW = 0,
                                 uint32_t refH = 0) {
    refhost::Instance fx(kzrtest::TheModule(), effect);
    for (const auto& [key, value] : sets)
        fx.SetParam(key, value);
    if (cpuLevel >= 0)
        fx.SetCpuLevel(cpuLevel);
    if (tasks > 0)
        fx.SetTaskCount(tasks);
    fx.SetReference(refW, refH);
    std::vector<uint32_t> dst = src;
    EXPECT_EQ(fx.Prepare(w, h), kzr::kOk);
    EXPECT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
    return dst;
}

// ---- The fixture: a scratch folder per test ---------------------------------------

class FxhostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fxhost-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // A picture with a varied alpha channel.
    std::string WritePattern(const std::string& name, uint32_t w, uint32_t h) {
        fxhost::Image img{w, h, Pixels(kzrtest::PatternFrame(w, h))};
        fxhost::WriteImage(Path(name), img);
        return Path(name);
    }

    fs::path dir_;
};

// ---- Language libraries -------------------------------------------------------------

// key -> text of a language's source file.
std::map<std::string, std::string> TextFile(const std::string& language) {
    std::ifstream in(std::string(KZR_LANG_SOURCE_DIR) + "/" + language + ".txt");
    std::map<std::string, std::string> texts;
    std::string line;
    const auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(" \t\r"));
        s.erase(s.find_last_not_of(" \t\r") + 1);
        return s;
    };
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t eq = line.find('=');
        texts[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return texts;
}

TEST(LanguageLibraries, CarryEveryResourceKeyExactlyAsTheTextFilesSay) {
    const refhost::Module& module = kzrtest::TheModule();
    const std::vector<std::string> keys = refhost::ResourceKeys(module.Descriptor());
    // Module name and description, ten effects with two keys each, and the
    // parameter keys shared among them.
    EXPECT_GT(keys.size(), 22u);
    for (const char* language : {"ENU", "DEU"}) {
        SCOPED_TRACE(language);
        const refhost::Texts texts = refhost::Texts::ForLanguage(module, language);
        EXPECT_TRUE(texts.HasLibrary());
        EXPECT_EQ(texts.Language(), language);
        const auto file = TextFile(language);
        EXPECT_EQ(file.size(), keys.size()) << "the text file has keys the tables do not use";
        for (const std::string& key : keys) {
            const std::optional<std::string> text = texts.Find(key);
            ASSERT_TRUE(text.has_value()) << key;
            EXPECT_FALSE(text->empty()) << key;
            EXPECT_EQ(*text, file.at(key)) << key;  // UTF-8 survives the generated table
        }
        EXPECT_FALSE(texts.Find("IDS_No_Such_Key").has_value());
        // A choice list after ";" is not part of the key.
        EXPECT_EQ(texts.Find("IDS_Vi_Param_MaskType_Name;box;circle;none"),
                  texts.Find("IDS_Vi_Param_MaskType_Name"));
    }
    // German texts really are German where the words differ.
    EXPECT_NE(refhost::Texts::ForLanguage(module, "DEU").Text("IDS_Vi_Param_Size_Name"),
              refhost::Texts::ForLanguage(module, "ENU").Text("IDS_Vi_Param_Size_Name"));
}

TEST(LanguageLibraries, ExportOnlyTheLookupWhichRefusesANullKey) {
    const fs::path bin = fs::path(KZR_MODULE_PATH).parent_path();
    for (const char* name : {"KZR_PlugIn_6_ENU.DLL", "KZR_PlugIn_6_DEU.DLL"}) {
        void* lib = dlopen((bin / name).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        auto lookup = reinterpret_cast<kzr::ResourceTextFn>(dlsym(lib, kzr::kResourceTextSymbol));
        ASSERT_NE(lookup, nullptr);
        EXPECT_EQ(lookup(nullptr), nullptr);
        EXPECT_EQ(lookup(""), nullptr);
        EXPECT_NE(lookup("IDS_Module_Name"), nullptr);
        EXPECT_EQ(dlsym(lib, "_ZN3kzr4lang6kTextsE"), nullptr);  // the table stays private
        dlclose(lib);
    }
}

TEST(LanguageLibraries, HostFallsBackToKeyNamesAndRefusesUnknownLanguages) {
    const refhost::Texts none;
    EXPECT_FALSE(none.HasLibrary());
    EXPECT_EQ(none.Text("IDS_Vi_Param_Degree_Name"), "Degree");
    EXPECT_EQ(none.Text("IDS_DSP_Vi_HStretch_Name"), "HStretch");
    EXPECT_FALSE(none.Find("IDS_Vi_Param_Degree_Name").has_value());

    try {
        refhost::Texts::ForLanguage(kzrtest::TheModule(), "XYZ");
        ADD_FAILURE() << "a missing language library was accepted";
    } catch (const refhost::Error& e) {
        EXPECT_TRUE(Contains(e.what(), "KZR_PlugIn_6_XYZ.DLL")) << e.what();
        EXPECT_TRUE(Contains(e.what(), "DEU, ENU")) << e.what();
    }
    EXPECT_THROW(refhost::Texts::ForLanguage(kzrtest::TheModule(), "../ENU"), refhost::Error);
    EXPECT_THROW(refhost::Texts::ForLanguage(kzrtest::TheModule(), ""), refhost::Error);
    const auto languages = refhost::AvailableLanguages(kzrtest::TheModule());
    EXPECT_EQ(languages, (std::vector<std::string>{"DEU", "ENU"}));
}

// ---- list -----------------------------------------------------------------------------

TEST_F(FxhostTest, ListShowsTheTextsOfTheChosenLanguage) {
    const refhost::Module& module = kzrtest::TheModule();
    struct Case {
        std::vector<std::string> args, env;
        std::string language;  // empty: key-derived names
    };
    const Case cases[] = {
        {{"list", "--lang", "ENU"}, {}, "ENU"},
        {{"list", "--lang", "deu"}, {}, "DEU"},
        {{"list"}, {"LANG=de_DE.UTF-8"}, "DEU"},                        // the module's pick
        {{"list"}, {"LANG=de_DE.UTF-8", "LC_ALL=en_US.UTF-8"}, "ENU"},  // LC_ALL first
        {{"list"}, {"LANG=C"}, "ENU"},        // the untranslated default is English
        {{"list"}, {"LANG=C.UTF-8"}, "ENU"},  // a fresh Debian machine
        {{"list"}, {"LANG=POSIX"}, "ENU"},
        {{"list"}, {"LANG=fr_FR.UTF-8"}, "ENU"},  // no French library: English
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[2] : c.env.front());
        const Outcome o = Fxhost(c.args, c.env);
        ASSERT_EQ(o.status, 0) << o.err;
        const refhost::Texts texts =
            c.language.empty() ? refhost::Texts() : refhost::Texts::ForLanguage(module, c.language);
        const auto firstLine = o.out.substr(0, o.out.find('\n'));
        EXPECT_TRUE(Contains(firstLine, texts.Text(module.Descriptor().NameKey))) << firstLine;
        if (c.language.empty())
            EXPECT_TRUE(Contains(firstLine, "no language library")) << firstLine;
        else
            EXPECT_TRUE(Contains(firstLine, "KZR_PlugIn_6_" + c.language + ".DLL")) << firstLine;
        for (size_t i = 0; i < module.EffectCount(); ++i) {
            const kzr::EffectDescriptor& fx = module.Effect(i);
            EXPECT_TRUE(
                HasLine(o.out, {refhost::ShortName(fx) + " ", " " + texts.Text(fx.NameKey)}))
                << fx.Id;
            if (!c.language.empty()) {
                EXPECT_TRUE(Contains(o.out, *texts.Find(fx.DescKey))) << fx.Id;
            }
            for (size_t p = 0; p < fx.ParamCount(); ++p)
                EXPECT_TRUE(HasLine(o.out, {std::string("    ") + fx.Params[p].Key + " ",
                                            " " + texts.Text(fx.Params[p].NameKey) + " "}))
                    << fx.Id << " " << fx.Params[p].Key;
        }
        // The common block is listed once, as the host's parameters.
        EXPECT_TRUE(Contains(o.out, "Host-only parameters"));
        EXPECT_EQ(o.out.find("MP1 "), o.out.rfind("MP1 "));
    }
}

TEST_F(FxhostTest, ListJsonMatchesTheDescriptorTables) {
    const refhost::Module& module = kzrtest::TheModule();
    for (const char* language : {"ENU", "DEU"}) {
        SCOPED_TRACE(language);
        const Outcome o = Fxhost({"list", "--json", "--lang", language});
        ASSERT_EQ(o.status, 0) << o.err;
        const Json doc = ParseJson(o.out);
        const refhost::Texts texts = refhost::Texts::ForLanguage(module, language);
        EXPECT_EQ(doc["module"]["name"].text, texts.Text(module.Descriptor().NameKey));
        EXPECT_EQ(doc["module"]["language"].text, language);
        const Json& effects = doc["effects"];
        ASSERT_EQ(effects.items.size(), module.EffectCount());
        for (size_t i = 0; i < module.EffectCount(); ++i) {
            const kzr::EffectDescriptor& fx = module.Effect(i);
            const Json& e = effects[i];
            SCOPED_TRACE(fx.Id);
            EXPECT_EQ(e["id"].text, fx.Id);
            EXPECT_EQ(e["short_name"].text, refhost::ShortName(fx));
            EXPECT_EQ(e["name"].text, texts.Text(fx.NameKey));
            EXPECT_EQ(e["description"].text, texts.Text(fx.DescKey));
            EXPECT_EQ(e["available"].boolean, module.Available(i));
            const size_t own = refhost::OwnParamCount(fx);
            ASSERT_EQ(e["parameters"].items.size(), own);
            ASSERT_EQ(e["host_parameters"].items.size(), fx.ParamCount() - own);
            for (size_t p = 0; p < fx.ParamCount(); ++p) {
                const kzr::ParamDescriptor& d = fx.Params[p];
                const Json& j = p < own ? e["parameters"][p] : e["host_parameters"][p - own];
                EXPECT_EQ(j["key"].text, d.Key);
                EXPECT_EQ(j["name"].text, texts.Text(d.NameKey));
                if (d.DescKey != nullptr)
                    EXPECT_EQ(j["description"].text, texts.Text(d.DescKey));
                else
                    EXPECT_EQ(j["description"].kind, Json::kNull);
                const std::vector<std::string> choices = refhost::ChoicesFromKey(d.NameKey);
                if (!choices.empty()) {
                    EXPECT_EQ(j["type"].text, "choice");
                    ASSERT_EQ(j["choices"].items.size(), choices.size());
                    for (size_t k = 0; k < choices.size(); ++k)
                        EXPECT_EQ(j["choices"][k].text, choices[k]);
                }
                // Range and default exactly as the tables hold them.
                const void* values[3] = {d.MinValue, d.MaxValue, d.DefaultValue};
                const char* names[3] = {"min", "max", "default"};
                for (int v = 0; v < 3; ++v) {
                    const Json& jv = j[names[v]];
                    switch (d.ValueType) {
                        case kzr::kTypeFloat:
                            EXPECT_EQ(j["type"].text, "number");
                            EXPECT_EQ(jv.Float(), ValueAt<float>(values[v])) << names[v];
                            break;
                        case kzr::kTypePoint:
                        case kzr::kTypeRect: {
                            const size_t n = d.ValueSize / 4;
                            ASSERT_EQ(jv.items.size(), n) << names[v];
                            for (size_t k = 0; k < n; ++k)
                                EXPECT_EQ(
                                    jv[k].Float(),
                                    ValueAt<float>(static_cast<const char*>(values[v]) + 4 * k));
                            break;
                        }
                        case kzr::kTypeInt:
                        case kzr::kTypeBool:
                            EXPECT_EQ(jv.Double(), ValueAt<int32_t>(values[v])) << names[v];
                            break;
                        case kzr::kTypeString: {
                            const char* s = ValueAt<const char*>(values[v]);
                            if (s == nullptr)
                                EXPECT_EQ(jv.kind, Json::kNull);
                            else
                                EXPECT_EQ(jv.text, s);
                            break;
                        }
                    }
                }
            }
        }
    }
}

// ---- render: images -----------------------------------------------------------------------

TEST_F(FxhostTest, RenderedImagesMatchTheReferenceHostForEveryEffect) {
    const refhost::Module& module = kzrtest::TheModule();
    constexpr uint32_t kW = 67, kH = 43;
    const std::string input = WritePattern("in.png", kW, kH);
    const std::vector<uint32_t> src = Pixels(kzrtest::PatternFrame(kW, kH));
    for (const size_t i : AvailableEffects()) {
        const kzr::EffectDescriptor& fx = module.Effect(i);
        const std::string name = refhost::ShortName(fx);
        // Two settings of every number and position, and the switches on in
        // the second run, which also changes the context settings.
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(name + " run " + std::to_string(run));
            std::vector<std::pair<std::string, std::string>> sets;
            for (size_t p = 0; p < refhost::OwnParamCount(fx); ++p) {
                const kzr::ParamDescriptor& d = fx.Params[p];
                if (d.ValueType == kzr::kTypeFloat || d.ValueType == kzr::kTypePoint)
                    sets.emplace_back(d.Key, ValueWithin(d, run == 0 ? 0.3f : 0.7f));
                else if (d.ValueType == kzr::kTypeBool && run == 1)
                    sets.emplace_back(d.Key, "1");
            }
            const std::string output = Path(name + std::to_string(run) + ".png");
            std::vector<std::string> args = {"render", name, input, "-o", output, "--quiet"};
            for (const auto& [key, value] : sets)
                args.insert(args.end(), {"--set", key + "=" + value});
            if (run == 1)
                args.insert(args.end(), {"--cpu-level", "0", "--tasks", "2", "--ref", "90x40"});
            const Outcome o = Fxhost(args);
            ASSERT_EQ(o.status, 0) << o.err;
            const fxhost::Image out = fxhost::ReadImage(output);
            ASSERT_EQ(out.width, kW);
            ASSERT_EQ(out.height, kH);
            const std::vector<uint32_t> expected =
                run == 0 ? RenderHere(i, src, kW, kH, sets)
                         : RenderHere(i, src, kW, kH, sets, 0, 2, 90, 40);
            EXPECT_TRUE(out.pixels == expected) << "differs from the reference host";
        }
    }
}

TEST_F(FxhostTest, TestCardAndTranslatedParameterNames) {
    const size_t hstretch = kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch");
    const refhost::Texts german = refhost::Texts::ForLanguage(kzrtest::TheModule(), "DEU");
    const std::string degree = german.Text("IDS_Vi_Param_Degree_Name");  // "Stärke"
    // The same setting by key, by English name and by German name (under a
    // German locale), each on the built-in test card.
    const std::vector<std::pair<std::string, std::string>> runs = {
        {"P1=0.07", ""}, {"Degree=0.07", ""}, {degree + "=0.07", "LANG=de_DE.UTF-8"}};
    const std::vector<uint32_t> expected =
        RenderHere(hstretch, refhost::MakeTestCard(97, 61), 97, 61, {{"P1", "0.07"}});
    for (size_t k = 0; k < runs.size(); ++k) {
        SCOPED_TRACE(runs[k].first);
        const std::string output = Path("card" + std::to_string(k) + ".png");
        std::vector<std::string> env;
        if (!runs[k].second.empty())
            env.push_back(runs[k].second);
        const Outcome o = Fxhost(
            {"render", "HStretch", "-o", output, "--size", "97x61", "--set", runs[k].first}, env);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(fxhost::ReadImage(output).pixels == expected);
    }
}

TEST_F(FxhostTest, RenderRefusesBadRequestsAndWritesNothing) {
    const std::string out = Path("out.png");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> messageParts;
    };
    const Case cases[] = {
        {{"render", "hstretch", "-o", out, "--set", "P1=5"}, {"P1", "between 0.001 and 0.1"}},
        {{"render", "hstretch", "-o", out, "--set", "Degree=-1"}, {"between 0.001 and 0.1"}},
        {{"render", "hstretch", "-o", out, "--set", "P1=abc"}, {"not a number"}},
        {{"render", "hstretch", "-o", out, "--set", "P9=1"}, {"P9", "P1", "P4"}},
        {{"render", "hstretch", "-o", out, "--set", "P1"}, {"KEY=VALUE"}},
        {{"render", "no-such-effect", "-o", out}, {"no-such-effect", "hstretch"}},
        {{"render", "hstretch", "-o", Path("out.txt")}, {".png", ".mp4"}},
        {{"render", "hstretch", Path("missing.png"), "-o", out}, {"missing.png"}},
        {{"render", "hstretch", "-o", out, "--size", "0x10"}, {"--size", "WIDTHxHEIGHT"}},
        {{"render", "hstretch", "-o", out, "--animate", "P1=0.01:0.1"}, {"image"}},
        {{"render", "hstretch", "-o", Path("v.mp4"), "--animate", "P3=0:1"}, {"animated"}},
        {{"render", "hstretch", "-o", Path("v.mp4"), "--animate", "P1=0.01:7"}, {"between"}},
        {{"list", "--lang", "XX"}, {"KZR_PlugIn_6_XX.DLL", "ENU"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - 1]);
        const Outcome o = Fxhost(c.args);
        EXPECT_NE(o.status, 0);
        EXPECT_TRUE(Contains(o.err, "fxhost: ")) << o.err;
        for (const std::string& part : c.messageParts)
            EXPECT_TRUE(Contains(o.err, part)) << o.err;
        EXPECT_TRUE(Files().empty()) << "left behind: " << Files().front();
    }
    // The valid effect names are those the module carries.
    const Outcome o = Fxhost({"render", "nope", "-o", out});
    for (const size_t i : AvailableEffects())
        EXPECT_TRUE(Contains(o.err, refhost::ShortName(kzrtest::TheModule().Effect(i))));
}

TEST_F(FxhostTest, ExistingOutputIsKeptWithoutForce) {
    const std::string out = Path("out.png");
    std::ofstream(out) << "keep me";
    const Outcome refused = Fxhost({"render", "hstretch", "-o", out, "--size", "16x9"});
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(Contains(refused.err, "--force")) << refused.err;
    std::stringstream kept;
    kept << std::ifstream(out).rdbuf();
    EXPECT_EQ(kept.str(), "keep me");
    EXPECT_EQ(Files(), std::vector<std::string>{"out.png"});

    const Outcome forced = Fxhost({"render", "hstretch", "-o", out, "--size", "16x9", "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(fxhost::ReadImage(out).width, 16u);
    EXPECT_EQ(Files(), std::vector<std::string>{"out.png"});
}

TEST_F(FxhostTest, JpegOutputAndEdgeSizes) {
    // A 1x1 and a 2x1 frame through every effect, and a JPEG.
    for (const char* size : {"1x1", "2x1", "1x3"})
        for (const size_t i : AvailableEffects()) {
            const std::string name = refhost::ShortName(kzrtest::TheModule().Effect(i));
            const std::string out = Path(name + size + ".png");
            const Outcome o = Fxhost({"render", name, "-o", out, "--size", size});
            ASSERT_EQ(o.status, 0) << name << " " << size << ": " << o.err;
            const fxhost::Image img = fxhost::ReadImage(out);
            const std::vector<uint32_t> expected = RenderHere(
                i, refhost::MakeTestCard(img.width, img.height), img.width, img.height, {});
            EXPECT_TRUE(img.pixels == expected) << name << " " << size;
        }
    const Outcome o = Fxhost({"render", "hstretch", "-o", Path("a.jpg"), "--size", "64x48"});
    ASSERT_EQ(o.status, 0) << o.err;
    const fxhost::Image jpg = fxhost::ReadImage(Path("a.jpg"));
    EXPECT_EQ(jpg.width, 64u);
    EXPECT_EQ(jpg.height, 48u);
}

// ---- render: videos -----------------------------------------------------------------------

class FxhostVideoTest : public FxhostTest {
  protected:
    static constexpr uint32_t kW = 65, kH = 47;  // odd on purpose
    static constexpr int kFrames = 6;

    // Frame k of the input clip: the pattern (alpha included) shifted by k.
    static std::vector<uint32_t> InputFrame(int k) {
        std::vector<uint8_t> bytes = kzrtest::PatternFrame(kW, kH);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(b + 37 * k);
        return Pixels(bytes);
    }

    // A lossless 10 fps clip with a sine tone as audio.
    std::string MakeInput(const std::string& name) {
        const std::string raw = Path("frames.raw");
        {
            std::ofstream f(raw, std::ios::binary);
            for (int k = 0; k < kFrames; ++k) {
                const auto px = InputFrame(k);
                f.write(reinterpret_cast<const char*>(px.data()),
                        static_cast<std::streamsize>(px.size() * 4));
            }
        }
        const Outcome o = RunProgram(
            {"ffmpeg",   "-v",         "error",
             "-y",       "-f",         "rawvideo",
             "-pix_fmt", "rgba",       "-s",
             "65x47",    "-framerate", "10",
             "-i",       raw,          "-f",
             "lavfi",    "-i",         "sine=frequency=440:sample_rate=44100:duration=0.6",
             "-map",     "0:v",        "-map",
             "1:a",      "-c:v",       "ffv1",
             "-c:a",     "pcm_s16le",  Path(name)});
        EXPECT_EQ(o.status, 0) << o.err;
        fs::remove(raw);
        return Path(name);
    }

    // Every frame of a video as RGBA.
    std::vector<std::vector<uint8_t>> Decode(const std::string& video, uint32_t w, uint32_t h) {
        const std::string raw = Path("decoded.raw");
        const Outcome o = RunProgram({"ffmpeg", "-v", "error", "-y", "-i", video, "-f", "rawvideo",
                                      "-pix_fmt", "rgba", raw});
        EXPECT_EQ(o.status, 0) << o.err;
        std::ifstream f(raw, std::ios::binary);
        std::vector<std::vector<uint8_t>> frames;
        std::vector<uint8_t> frame(size_t{w} * h * 4);
        while (f.read(reinterpret_cast<char*>(frame.data()),
                      static_cast<std::streamsize>(frame.size())))
            frames.push_back(frame);
        fs::remove(raw);
        return frames;
    }

    // ffprobe's key=value description of the streams.
    std::map<std::string, std::string> Probe(const std::string& video) {
        const Outcome o = RunProgram({"ffprobe", "-v", "error", "-show_entries",
                                      "stream=codec_type,codec_name,width,height,avg_frame_rate",
                                      "-of", "flat", video});
        EXPECT_EQ(o.status, 0) << o.err;
        std::map<std::string, std::string> fields;
        std::istringstream in(o.out);
        std::string line;
        while (std::getline(in, line)) {
            const size_t eq = line.find('=');
            std::string v = line.substr(eq + 1);
            if (v.size() >= 2 && v.front() == '"')
                v = v.substr(1, v.size() - 2);
            fields[line.substr(0, eq)] = v;
        }
        return fields;
    }
};

TEST_F(FxhostVideoTest, H264OutputKeepsSizeRateFramesAndAudio) {
    SKIP_WITHOUT_FFMPEG();
    const std::string input = MakeInput("in.mkv");
    const std::string output = Path("out.mp4");
    const Outcome o = Fxhost({"render", "hstretch", input, "-o", output, "--set", "P1=0.1"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(o.err.empty()) << "no progress bar off a terminal: " << o.err;

    auto fields = Probe(output);
    EXPECT_EQ(fields["streams.stream.0.codec_type"], "video");
    EXPECT_EQ(fields["streams.stream.0.codec_name"], "h264");
    EXPECT_EQ(fields["streams.stream.0.width"], "65");
    EXPECT_EQ(fields["streams.stream.0.height"], "47");
    EXPECT_EQ(fields["streams.stream.0.avg_frame_rate"], "10/1");
    // The input's PCM audio cannot be copied into MP4: it is carried as AAC.
    EXPECT_EQ(fields["streams.stream.1.codec_type"], "audio");
    EXPECT_EQ(fields["streams.stream.1.codec_name"], "aac");

    // Every frame is the distorted input frame, within the codec's loss, and
    // much closer to it than to the undistorted input.
    const auto frames = Decode(output, kW, kH);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    const size_t hstretch = kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch");
    for (int k = 0; k < kFrames; ++k) {
        const auto in = InputFrame(k);
        const auto expected = RenderHere(hstretch, in, kW, kH, {{"P1", "0.1"}});
        // Colour channels only: H.264 carries no alpha.
        double toExpected = 0, toInput = 0;
        for (size_t p = 0; p < in.size(); ++p)
            for (int c = 0; c < 3; ++c) {
                const int got = frames[static_cast<size_t>(k)][p * 4 + static_cast<size_t>(c)];
                toExpected += std::abs(got - int(expected[p] >> (8 * c) & 255));
                toInput += std::abs(got - int(in[p] >> (8 * c) & 255));
            }
        EXPECT_LT(toExpected * 3, toInput) << "frame " << k;
    }
}

TEST_F(FxhostVideoTest, LosslessOutputEqualsTheReferenceHostFrameByFrameWhileAnimating) {
    SKIP_WITHOUT_FFMPEG();
    const std::string input = MakeInput("in.mkv");
    const std::string output = Path("out.mkv");
    const Outcome o = Fxhost({"render", "hstretch", input, "-o", output, "--codec", "ffv1",
                              "--animate", "Degree=0.001:0.1", "--set", "P2=0.5"});
    ASSERT_EQ(o.status, 0) << o.err;
    auto fields = Probe(output);
    EXPECT_EQ(fields["streams.stream.1.codec_name"], "pcm_s16le");  // copied as it was

    const auto frames = Decode(output, kW, kH);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    const size_t hstretch = kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch");
    std::vector<uint32_t> first;
    for (int k = 0; k < kFrames; ++k) {
        // Degree ramps linearly from the first to the last frame.
        const double t = static_cast<double>(k) / (kFrames - 1);
        const float degree =
            static_cast<float>(double{0.001f} + (double{0.1f} - double{0.001f}) * t);
        const auto expected =
            RenderHere(hstretch, InputFrame(k), kW, kH, {{"P1", Shortest(degree)}, {"P2", "0.5"}});
        EXPECT_TRUE(Pixels(frames[static_cast<size_t>(k)]) == expected) << "frame " << k;
        if (k == 0)
            first = expected;
    }
    // The ramp does change the picture: the last frame's map differs.
    const auto lastInput = InputFrame(kFrames - 1);
    EXPECT_FALSE(RenderHere(hstretch, lastInput, kW, kH, {{"P1", "0.001"}, {"P2", "0.5"}}) ==
                 Pixels(frames.back()));
}

// Frames decoded, rendered and encoded with several in flight, and the drain
// split over every core: still each frame is the one-task rendering of its
// own input with its own ramp value, in the input's order.
TEST_F(FxhostVideoTest, AnimatedDrainOnEveryCoreEqualsOneTaskFrameByFrame) {
    SKIP_WITHOUT_FFMPEG();
    const std::string input = MakeInput("in.mkv");
    const std::string output = Path("drain.mkv");
    const Outcome o =
        Fxhost({"render", "drain", input, "-o", output, "--codec", "ffv1", "--animate", "P1=1:50"});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto frames = Decode(output, kW, kH);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    const size_t drain = kzrtest::EffectIndex("Kzr_Dsp_Vi_Drain");
    for (int k = 0; k < kFrames; ++k) {
        const double t = static_cast<double>(k) / (kFrames - 1);
        const float degree = static_cast<float>(1.0 + (50.0 - 1.0) * t);
        const auto expected =
            RenderHere(drain, InputFrame(k), kW, kH, {{"P1", Shortest(degree)}}, -1, 1);
        EXPECT_TRUE(Pixels(frames[static_cast<size_t>(k)]) == expected) << "frame " << k;
    }
}

TEST_F(FxhostVideoTest, TestCardClip) {
    SKIP_WITHOUT_FFMPEG();
    const std::string output = Path("card.mkv");
    const Outcome o = Fxhost({"render", "hstretch", "-o", output, "--codec", "ffv1", "--size",
                              "63x47", "--duration", "0.4", "--fps", "10"});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto frames = Decode(output, 63, 47);
    ASSERT_EQ(frames.size(), 4u);
    const size_t hstretch = kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch");
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(Pixels(frames[static_cast<size_t>(k)]) ==
                    RenderHere(hstretch, refhost::MakeTestCard(63, 47, k / 4.0), 63, 47, {}))
            << "frame " << k;
    EXPECT_FALSE(frames[0] == frames[1]) << "the marker moves";
}

TEST_F(FxhostVideoTest, FailuresLeaveNoOutput) {
    SKIP_WITHOUT_FFMPEG();
    const std::string input = MakeInput("in.mkv");
    std::ofstream(Path("broken.mp4")) << "not a video";
    fs::create_directory(Path("empty-path"));
    struct Case {
        std::vector<std::string> args, env, messageParts;
    };
    const Case cases[] = {
        {{"render", "hstretch", Path("broken.mp4"), "-o", Path("a.mp4")}, {}, {"broken.mp4"}},
        {{"render", "hstretch", input, "-o", Path("b.mp4")},
         {"PATH=" + Path("empty-path")},
         {"ffprobe was not found", "install ffmpeg"}},
        {{"render", "hstretch", "-o", Path("c.mp4"), "--size", "16x8", "--duration", "0.2"},
         {"PATH=" + Path("empty-path")},
         {"ffmpeg was not found", "install ffmpeg"}},
        {{"render", "hstretch", input, "-o", Path("d.mp4"), "--codec", "no-such-encoder"},
         {},
         {"ffmpeg could not encode", "d.mp4"}},
        {{"render", "hstretch", input, "-o", Path("e.png")}, {}, {"video", "image"}},
        {{"render", "hstretch", input, "-o", Path("f.mp4"), "--fps", "30"}, {}, {"--fps"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[3]);
        const Outcome o = Fxhost(c.args, c.env);
        EXPECT_NE(o.status, 0);
        for (const std::string& part : c.messageParts)
            EXPECT_TRUE(Contains(o.err, part)) << o.err;
        EXPECT_EQ(Files(), (std::vector<std::string>{"broken.mp4", "empty-path", "in.mkv"}));
    }
}

// ---- gallery, bench, help -----------------------------------------------------------------

TEST_F(FxhostTest, GalleryHoldsEveryEffectAtItsDefaults) {
    const std::string out = Path("gallery.png");
    const Outcome o = Fxhost({"gallery", "-o", out, "--tile", "40x24", "--lang", "DEU"});
    ASSERT_EQ(o.status, 0) << o.err;
    const fxhost::Image g = fxhost::ReadImage(out);
    const auto card = refhost::MakeTestCard(40, 24);
    for (const size_t i : AvailableEffects()) {
        const auto tile = RenderHere(i, card, 40, 24, {});
        bool found = false;
        for (uint32_t y = 0; y + 24 <= g.height && !found; ++y)
            for (uint32_t x = 0; x + 40 <= g.width && !found; ++x) {
                bool same = true;
                for (uint32_t r = 0; r < 24 && same; ++r)
                    same = std::equal(tile.begin() + r * 40, tile.begin() + (r + 1) * 40,
                                      g.pixels.begin() + (y + r) * g.width + x);
                found = same;
            }
        EXPECT_TRUE(found) << kzrtest::TheModule().Effect(i).Id << " is not in the gallery";
    }
    EXPECT_NE(Fxhost({"gallery", "-o", out}).status, 0) << "overwrote without --force";
}

TEST_F(FxhostTest, BenchReportsEveryRequestedEffect) {
    const Outcome o =
        Fxhost({"bench", "hstretch", "HStretch", "--size", "48x32", "--runs", "3", "--json"});
    ASSERT_EQ(o.status, 0) << o.err;
    const Json doc = ParseJson(o.out);
    EXPECT_EQ(doc["width"].Double(), 48);
    EXPECT_EQ(doc["runs"].Double(), 3);
    ASSERT_EQ(doc["effects"].items.size(), 2u);
    for (const Json& e : doc["effects"].items) {
        EXPECT_EQ(e["effect"].text, "hstretch");
        for (const char* phase : {"prepare_ms", "process_ms"}) {
            const Json& t = e[phase];
            EXPECT_LE(t["min"].Double(), t["median"].Double());
            EXPECT_LE(t["median"].Double(), t["max"].Double());
            EXPECT_GE(t["mad"].Double(), 0);
        }
        EXPECT_GT(e["fps"].Double(), 0);
    }
    const Outcome text = Fxhost({"bench", "--size", "16x16", "--runs", "1"});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const size_t i : AvailableEffects())
        EXPECT_TRUE(Contains(text.out, refhost::ShortName(kzrtest::TheModule().Effect(i))));
    EXPECT_NE(Fxhost({"bench", "nope"}).status, 0);
}

TEST(FxhostBench, SummaryStatistics) {
    fxhost::Timing odd = fxhost::Summarize({5, 1, 3, 2, 4});
    EXPECT_EQ(odd.median, 3);
    EXPECT_EQ(odd.mad, 1);  // deviations 2 2 0 1 1
    EXPECT_EQ(odd.min, 1);
    EXPECT_EQ(odd.max, 5);
    fxhost::Timing even = fxhost::Summarize({1, 2, 3, 10});
    EXPECT_EQ(even.median, 2.5);
    EXPECT_EQ(even.mad, 1);  // deviations 1.5 0.5 0.5 7.5
    EXPECT_EQ(fxhost::Summarize({}).median, 0);
}

TEST(FxhostHelp, EverySubcommandListsItsOptions) {
    const std::map<std::string, std::vector<std::string>> options = {
        {"list", {"--json", "--lang"}},
        {"render",
         {"--output", "--set", "--animate", "--cpu-level", "--tasks", "--ref", "--force", "--quiet",
          "--size", "--duration", "--fps", "--codec"}},
        {"gallery", {"--output", "--input", "--tile", "--columns", "--lang", "--force"}},
        {"bench", {"--size", "--cpu-level", "--tasks", "--runs", "--json"}},
    };
    const Outcome top = Fxhost({"--help"});
    EXPECT_EQ(top.status, 0);
    for (const auto& [command, names] : options) {
        EXPECT_TRUE(Contains(top.out, command)) << command;
        const Outcome o = Fxhost({command, "--help"});
        EXPECT_EQ(o.status, 0) << command;
        for (const std::string& name : names)
            EXPECT_TRUE(Contains(o.out, name)) << command << " " << name;
    }
    EXPECT_NE(Fxhost({}).status, 0) << "a subcommand is required";
}

TEST(TestCardClip, FramesEqualSingleTestCards) {
    for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{1, 1}, {5, 3}, {64, 36}, {101, 77}}) {
        refhost::TestCardClip clip(w, h);
        for (const double phase : {0.0, 0.3, 0.31, 0.9, 0.0})
            EXPECT_TRUE(clip.Frame(phase) == refhost::MakeTestCard(w, h, phase))
                << w << "x" << h << " at " << phase;
    }
}

}  // namespace
