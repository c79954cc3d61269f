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
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/fxhost/bench.h"
#include "apps/fxhost/image_io.h"
#include "refhost/testcard.h"
#include "refhost/texts.h"
#include "tests/test_util.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string ReadAll(FILE* f) {
    std::string text(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    return text;
}

// Runs a program found on this process's PATH, with this environment less
// the locale variables plus `env` ("NAME=value"), so each run picks its
// language explicitly.
Outcome RunProgram(std::vector<std::string> argv, const std::vector<std::string>& env = {}) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string v(*e), name = v.substr(0, v.find('='));
        const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& o) {
            return o.substr(0, o.find('=')) == name;
        });
        if (!replaced && name != "LANG" && name != "LC_ALL" && name != "LC_MESSAGES" &&
            name != "LANGUAGE")
            environment.push_back(v);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (std::string& a : argv)
        args.push_back(a.data());
    for (std::string& e : environment)
        envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
    pid_t pid = -1;
    Outcome o;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        o.status = 127;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::fseek(out, 0, SEEK_END);
    std::fseek(err, 0, SEEK_END);
    o.out = ReadAll(out);
    o.err = ReadAll(err);
    return o;
}

Outcome Fxhost(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), KZR_FXHOST_PATH);
    return RunProgram(args, env);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Some line of `text` holds all `parts`, in this order.
bool HasLine(const std::string& text, const std::vector<std::string>& parts) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t at = 0;
        for (const std::string& part : parts)
            if (at != line.npos && (at = line.find(part, at)) != line.npos)
                at += part.size();
        if (at != line.npos)
            return true;
    }
    return false;
}

std::string Shortest(float v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

float FloatAt(const void* p, size_t i = 0) {
    float v;
    std::memcpy(&v, static_cast<const char*>(p) + 4 * i, 4);
    return v;
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

using Settings = std::vector<std::pair<std::string, std::string>>;

// The reference host's rendering of one frame, into a destination that holds
// the source beforehand, as fxhost hands it over.
std::vector<uint32_t> RenderHere(size_t effect, const std::vector<uint32_t>& src, uint32_t w,
                                 uint32_t h, const Settings& sets, bool context = false) {
    refhost::Instance fx(kzrtest::TheModule(), effect);
    for (const auto& [key, value] : sets)
        fx.SetParam(key, value);
    if (context) {  // fxhost's --cpu-level 0 --tasks 2 --ref 90x40
        fx.SetCpuLevel(0);
        fx.SetTaskCount(2);
    }
    fx.SetReference(context ? 90 : 0, context ? 40 : 0);
    std::vector<uint32_t> dst = src;
    EXPECT_EQ(fx.Prepare(w, h), kzr::kOk);
    EXPECT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
    return dst;
}

size_t HStretch() {
    return kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch");
}

// A scratch folder per test.
class FxhostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fxhost-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // A command line from words separated by spaces and paths of the
    // scratch folder, which are kept whole.
    std::vector<std::string> Command(std::initializer_list<std::string> parts) const {
        std::vector<std::string> argv;
        for (const std::string& part : parts) {
            std::istringstream words(part);
            if (part.starts_with(dir_.string()))
                argv.push_back(part);
            else
                for (std::string w; words >> w;)
                    argv.push_back(w);
        }
        return argv;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
};

// ---- Language libraries ----------------------------------------------------------

// key -> text of a language's source file.
std::map<std::string, std::string> TextFile(const std::string& language) {
    std::ifstream in(std::string(KZR_LANG_SOURCE_DIR) + "/" + language + ".txt");
    std::map<std::string, std::string> texts;
    const auto trim = [](std::string s) {
        s.erase(0, s.find_first_not_of(" \t\r"));
        return s.erase(s.find_last_not_of(" \t\r") + 1);
    };
    for (std::string line; std::getline(in, line);)
        if (line = trim(line); !line.empty() && line[0] != '#')
            texts[trim(line.substr(0, line.find('=')))] = trim(line.substr(line.find('=') + 1));
    return texts;
}

TEST(LanguageLibraries, CarryEveryResourceKeyExactlyAsTheTextFilesSay) {
    const refhost::Module& module = kzrtest::TheModule();
    const std::vector<std::string> keys = refhost::ResourceKeys(module.Descriptor());
    EXPECT_GT(keys.size(), 22u);  // module, ten effects, their parameters
    for (const char* language : {"ENU", "DEU"}) {
        SCOPED_TRACE(language);
        const refhost::Texts texts = refhost::Texts::ForLanguage(module, language);
        EXPECT_TRUE(texts.HasLibrary());
        const auto file = TextFile(language);
        EXPECT_EQ(file.size(), keys.size()) << "the text file has keys the tables do not use";
        for (const std::string& key : keys)
            EXPECT_EQ(texts.Find(key).value_or("(none)"), file.at(key)) << key;
        EXPECT_FALSE(texts.Find("IDS_No_Such_Key").has_value());
        EXPECT_EQ(texts.Find("IDS_Vi_Param_MaskType_Name;box;circle;none"),
                  texts.Find("IDS_Vi_Param_MaskType_Name"));  // the choices are not the key
    }
    // Without a library the host derives names from the keys; a missing
    // language is refused with the file and the languages there are.
    EXPECT_EQ(refhost::Texts().Text("IDS_Vi_Param_Degree_Name"), "Degree");
    EXPECT_EQ(refhost::Texts().Text("IDS_DSP_Vi_HStretch_Name"), "HStretch");
    try {
        refhost::Texts::ForLanguage(module, "XYZ");
        ADD_FAILURE() << "a missing language library was accepted";
    } catch (const refhost::Error& e) {
        EXPECT_TRUE(Contains(e.what(), "KZR_PlugIn_6_XYZ.DLL") && Contains(e.what(), "DEU, ENU"))
            << e.what();
    }
    EXPECT_THROW(refhost::Texts::ForLanguage(module, "../ENU"), refhost::Error);
    EXPECT_EQ(refhost::AvailableLanguages(module), (std::vector<std::string>{"DEU", "ENU"}));
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

// ---- list --------------------------------------------------------------------------

TEST_F(FxhostTest, ListShowsTheTextsOfTheChosenLanguage) {
    const refhost::Module& module = kzrtest::TheModule();
    const struct {
        std::vector<std::string> args, env;
        std::string language;
    } cases[] = {
        {{"list", "--lang", "ENU"}, {}, "ENU"},
        {{"list", "--lang", "deu"}, {}, "DEU"},
        {{"list"}, {"LANG=de_DE.UTF-8"}, "DEU"},                        // the module's pick
        {{"list"}, {"LANG=de_DE.UTF-8", "LC_ALL=en_US.UTF-8"}, "ENU"},  // LC_ALL first
        {{"list"}, {"LANG=C.UTF-8"}, "ENU"},                            // untranslated: English
        {{"list"}, {"LANG=POSIX"}, "ENU"},
        {{"list"}, {"LANG=fr_FR.UTF-8"}, "ENU"},  // no French library
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[2] : c.env.back());
        const Outcome o = Fxhost(c.args, c.env);
        ASSERT_EQ(o.status, 0) << o.err;
        const refhost::Texts texts = refhost::Texts::ForLanguage(module, c.language);
        const std::string first = o.out.substr(0, o.out.find('\n'));
        EXPECT_TRUE(Contains(first, texts.Text(module.Descriptor().NameKey)) &&
                    Contains(first, "KZR_PlugIn_6_" + c.language + ".DLL"))
            << first;
        for (size_t i = 0; i < module.EffectCount(); ++i) {
            const kzr::EffectDescriptor& fx = module.Effect(i);
            EXPECT_TRUE(
                HasLine(o.out, {refhost::ShortName(fx) + " ", " " + texts.Text(fx.NameKey)}));
            EXPECT_TRUE(Contains(o.out, texts.Text(fx.DescKey))) << fx.Id;
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
        const json doc = json::parse(o.out);
        const refhost::Texts texts = refhost::Texts::ForLanguage(module, language);
        EXPECT_EQ(doc["module"]["name"], texts.Text(module.Descriptor().NameKey));
        EXPECT_EQ(doc["module"]["language"], language);
        ASSERT_EQ(doc["effects"].size(), module.EffectCount());
        for (size_t i = 0; i < module.EffectCount(); ++i) {
            const kzr::EffectDescriptor& fx = module.Effect(i);
            const json& e = doc["effects"][i];
            SCOPED_TRACE(fx.Id);
            EXPECT_EQ(e["id"], fx.Id);
            EXPECT_EQ(e["short_name"], refhost::ShortName(fx));
            EXPECT_EQ(e["name"], texts.Text(fx.NameKey));
            EXPECT_EQ(e["description"], texts.Text(fx.DescKey));
            EXPECT_EQ(e["available"], module.Available(i));
            const size_t own = refhost::OwnParamCount(fx);
            ASSERT_EQ(e["parameters"].size(), own);
            ASSERT_EQ(e["host_parameters"].size(), fx.ParamCount() - own);
            for (size_t p = 0; p < fx.ParamCount(); ++p) {
                const kzr::ParamDescriptor& d = fx.Params[p];
                const json& j = p < own ? e["parameters"][p] : e["host_parameters"][p - own];
                EXPECT_EQ(j["key"], d.Key);
                EXPECT_EQ(j["name"], texts.Text(d.NameKey));
                EXPECT_EQ(j["description"], d.DescKey ? json(texts.Text(d.DescKey)) : json());
                const auto choices = refhost::ChoicesFromKey(d.NameKey);
                if (!choices.empty()) {
                    EXPECT_EQ(j["choices"], json(choices));
                }
                // Range and default of numbers and positions exactly as the tables hold them.
                if (d.ValueType != kzr::kTypeFloat && d.ValueType != kzr::kTypePoint)
                    continue;
                const void* values[3] = {d.MinValue, d.MaxValue, d.DefaultValue};
                for (int v = 0; v < 3; ++v) {
                    const json& jv = j[v == 0 ? "min" : v == 1 ? "max" : "default"];
                    for (size_t k = 0; k < d.ValueSize / 4; ++k)
                        EXPECT_EQ((jv.is_array() ? jv[k] : jv).get<float>(), FloatAt(values[v], k))
                            << d.Key << " " << v;
                }
            }
        }
    }
}

// ---- render: images ------------------------------------------------------------------

TEST_F(FxhostTest, RenderedImagesMatchTheReferenceHostForEveryEffect) {
    constexpr uint32_t kW = 67, kH = 43;
    const std::vector<uint32_t> src = Pixels(kzrtest::PatternFrame(kW, kH));
    fxhost::WriteImage(Path("in.png"), fxhost::Image{kW, kH, src});
    for (const size_t i : AvailableEffects()) {
        const kzr::EffectDescriptor& fx = kzrtest::TheModule().Effect(i);
        const std::string name = refhost::ShortName(fx);
        // Two settings of every number and position; in the second run the
        // switches are on and the context settings change too.
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(name + " run " + std::to_string(run));
            const float t = run == 0 ? 0.3f : 0.7f;
            const auto along = [t](const void* lo, const void* hi, size_t k) {
                return Shortest(FloatAt(lo, k) + (FloatAt(hi, k) - FloatAt(lo, k)) * t);
            };
            Settings sets;
            for (size_t p = 0; p < refhost::OwnParamCount(fx); ++p) {
                const kzr::ParamDescriptor& d = fx.Params[p];
                if (d.ValueType == kzr::kTypeFloat)
                    sets.emplace_back(d.Key, along(d.MinValue, d.MaxValue, 0));
                else if (d.ValueType == kzr::kTypePoint)
                    sets.emplace_back(d.Key, along(d.MinValue, d.MaxValue, 0) + "," +
                                                 along(d.MinValue, d.MaxValue, 1));
                else if (d.ValueType == kzr::kTypeBool && run == 1)
                    sets.emplace_back(d.Key, "1");
            }
            const std::string out = Path(name + std::to_string(run) + ".png");
            std::vector<std::string> args = {"render", name, Path("in.png"), "-o", out, "--quiet"};
            for (const auto& [key, value] : sets)
                args.insert(args.end(), {"--set", key + "=" + value});
            if (run == 1)
                args.insert(args.end(), {"--cpu-level", "0", "--tasks", "2", "--ref", "90x40"});
            const Outcome o = Fxhost(args);
            ASSERT_EQ(o.status, 0) << o.err;
            const fxhost::Image img = fxhost::ReadImage(out);
            ASSERT_TRUE(img.width == kW && img.height == kH);
            EXPECT_TRUE(img.pixels == RenderHere(i, src, kW, kH, sets, run == 1));
        }
    }
}

// The same setting by key, by English name and by German name (under a
// German locale), on the built-in test card; edge sizes of every effect.
TEST_F(FxhostTest, TestCardParameterNamesAndEdgeSizes) {
    const std::string degree =
        refhost::Texts::ForLanguage(kzrtest::TheModule(), "DEU").Text("IDS_Vi_Param_Degree_Name");
    const auto expected =
        RenderHere(HStretch(), refhost::MakeTestCard(97, 61), 97, 61, {{"P1", "0.07"}});
    for (const auto& [set, env] : {std::pair<std::string, std::string>{"P1=0.07", "LANG=C"},
                                   {"Degree=0.07", "LANG=C"},
                                   {degree + "=0.07", "LANG=de_DE.UTF-8"}}) {
        const Outcome o = Fxhost({"render", "HStretch", "-o", Path("card.png"), "--size", "97x61",
                                  "--set", set, "--force"},
                                 {env});
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(fxhost::ReadImage(Path("card.png")).pixels == expected) << set;
    }
    for (const char* size : {"1x1", "2x1", "1x3"})
        for (const size_t i : AvailableEffects()) {
            const std::string name = refhost::ShortName(kzrtest::TheModule().Effect(i));
            const Outcome o =
                Fxhost({"render", name, "-o", Path("e.png"), "--size", size, "--force"});
            ASSERT_EQ(o.status, 0) << name << " " << size << ": " << o.err;
            const fxhost::Image img = fxhost::ReadImage(Path("e.png"));
            EXPECT_TRUE(img.pixels == RenderHere(i, refhost::MakeTestCard(img.width, img.height),
                                                 img.width, img.height, {}))
                << name << " " << size;
        }
    ASSERT_EQ(Fxhost({"render", "hstretch", "-o", Path("a.jpg"), "--size", "64x48"}).status, 0);
    EXPECT_EQ(fxhost::ReadImage(Path("a.jpg")).width, 64u);
}

TEST_F(FxhostTest, RenderRefusesBadRequestsAndWritesNothing) {
    const std::string out = Path("out.png");
    const struct {
        std::vector<std::string> args, parts;
    } cases[] = {
        {{"render", "hstretch", "-o", out, "--set", "P1=5"}, {"P1", "between 0.001 and 0.1"}},
        {{"render", "hstretch", "-o", out, "--set", "Degree=-1"}, {"between 0.001 and 0.1"}},
        {{"render", "hstretch", "-o", out, "--set", "P1=abc"}, {"not a number"}},
        {{"render", "hstretch", "-o", out, "--set", "P9=1"}, {"P9", "P1", "P4"}},
        {{"render", "hstretch", "-o", out, "--set", "P1"}, {"KEY=VALUE"}},
        {{"render", "no-such-effect", "-o", out}, {"no-such-effect", "hstretch", "laser"}},
        {{"render", "hstretch", "-o", Path("out.txt")}, {".png", ".mp4"}},
        {{"render", "hstretch", Path("missing.png"), "-o", out}, {"missing.png"}},
        {{"render", "hstretch", "-o", out, "--size", "0x10"}, {"--size", "WIDTHxHEIGHT"}},
        {{"render", "hstretch", "-o", out, "--animate", "P1=0.01:0.1"}, {"image"}},
        {{"render", "hstretch", "-o", Path("v.mp4"), "--animate", "P3=0:1"}, {"animated"}},
        {{"render", "hstretch", "-o", Path("v.mp4"), "--animate", "P1=0.01:7"}, {"between"}},
        {{"list", "--lang", "XX"}, {"KZR_PlugIn_6_XX.DLL", "ENU"}},
        {{}, {}},  // a subcommand is required
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "none" : c.args.back());
        const Outcome o = Fxhost(c.args);
        EXPECT_NE(o.status, 0);
        for (const std::string& part : c.parts)
            EXPECT_TRUE(Contains(o.err, "fxhost: ") && Contains(o.err, part)) << o.err;
        EXPECT_TRUE(Files().empty()) << "left behind: " << Files().front();
    }
    // An existing output is kept without --force.
    std::ofstream(out) << "keep me";
    const Outcome refused = Fxhost({"render", "hstretch", "-o", out, "--size", "16x9"});
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(Contains(refused.err, "--force")) << refused.err;
    EXPECT_EQ(fs::file_size(out), 7u);
    ASSERT_EQ(Fxhost({"render", "hstretch", "-o", out, "--size", "16x9", "--force"}).status, 0);
    EXPECT_EQ(fxhost::ReadImage(out).width, 16u);
    EXPECT_EQ(Files(), std::vector<std::string>{"out.png"});
}

// ---- render: videos ------------------------------------------------------------------

class FxhostVideoTest : public FxhostTest {
  protected:
    void SetUp() override {
        if (RunProgram({"ffmpeg", "-version"}).status != 0 ||
            RunProgram({"ffprobe", "-version"}).status != 0)
            GTEST_SKIP() << "ffmpeg/ffprobe are not installed (apt-get install ffmpeg)";
        FxhostTest::SetUp();
    }
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
    std::string MakeInput() {
        {
            std::ofstream f(Path("frames.raw"), std::ios::binary);
            for (int k = 0; k < kFrames; ++k)
                f.write(reinterpret_cast<const char*>(InputFrame(k).data()), kW * kH * 4);
        }
        const Outcome o = RunProgram(Command(
            {"ffmpeg -v error -f rawvideo -pix_fmt rgba -s 65x47 -framerate 10 -i",
             Path("frames.raw"), "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.6",
             "-map 0:v -map 1:a -c:v ffv1 -c:a pcm_s16le", Path("in.mkv")}));
        EXPECT_EQ(o.status, 0) << o.err;
        fs::remove(Path("frames.raw"));
        return Path("in.mkv");
    }
    // Every frame of a video as RGBA pixels.
    std::vector<std::vector<uint32_t>> Decode(const std::string& video, uint32_t w, uint32_t h) {
        const Outcome o = RunProgram(Command(
            {"ffmpeg -v error -i", video, "-f rawvideo -pix_fmt rgba", Path("decoded.raw")}));
        EXPECT_EQ(o.status, 0) << o.err;
        std::ifstream f(Path("decoded.raw"), std::ios::binary);
        std::vector<std::vector<uint32_t>> frames;
        std::vector<uint32_t> frame(size_t{w} * h);
        while (f.read(reinterpret_cast<char*>(frame.data()), std::streamsize(frame.size() * 4)))
            frames.push_back(frame);
        fs::remove(Path("decoded.raw"));
        return frames;
    }
    // ffprobe's description of stream n: "codec_type codec_name width height rate".
    std::string Stream(const std::string& video, int n) {
        const Outcome o = RunProgram(
            Command({"ffprobe -v error -select_streams " + std::to_string(n) +
                         " -show_entries stream=codec_type,codec_name,width,height,avg_frame_rate"
                         " -of default=noprint_wrappers=1:nokey=1",
                     video}));
        std::string s = o.out;
        std::replace(s.begin(), s.end(), '\n', ' ');
        return s;
    }
};

TEST_F(FxhostVideoTest, H264OutputKeepsSizeRateFramesAndAudio) {
    const std::string input = MakeInput(), output = Path("out.mp4");
    const Outcome o = Fxhost({"render", "hstretch", input, "-o", output, "--set", "P1=0.1"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(o.err.empty()) << "no progress bar off a terminal: " << o.err;
    EXPECT_EQ(Stream(output, 0), "h264 video 65 47 10/1 ");
    EXPECT_EQ(Stream(output, 1).substr(0, 10), "aac audio ");  // PCM cannot go into MP4
    // Every frame is the distorted input frame within the codec's loss, much
    // closer to it than to the undistorted input (colour only: no alpha).
    const auto frames = Decode(output, kW, kH);
    ASSERT_EQ(frames.size(), size_t{kFrames});
    for (int k = 0; k < kFrames; ++k) {
        const auto in = InputFrame(k);
        const auto expected = RenderHere(HStretch(), in, kW, kH, {{"P1", "0.1"}});
        double toExpected = 0, toInput = 0;
        for (size_t p = 0; p < in.size(); ++p)
            for (int c = 0; c < 24; c += 8) {
                const int got = frames[size_t(k)][p] >> c & 255;
                toExpected += std::abs(got - int(expected[p] >> c & 255));
                toInput += std::abs(got - int(in[p] >> c & 255));
            }
        EXPECT_LT(toExpected * 3, toInput) << "frame " << k;
    }
}

// Lossless output, one parameter ramped linearly from the first frame to the
// last: every frame is the reference host's rendering of its own input with
// its own value, in the input's order, also with frames decoded, rendered and
// encoded several at a time and the drain split over every core.
TEST_F(FxhostVideoTest, LosslessOutputEqualsTheReferenceHostFrameByFrameWhileAnimating) {
    const std::string input = MakeInput();
    const struct {
        const char *effect, *id;
        std::string key, animate;
        float from, to;
        Settings sets;
    } cases[] = {{"hstretch",
                  "Kzr_Dsp_Vi_HStretch",
                  "P1",
                  "Degree=0.001:0.1",
                  0.001f,
                  0.1f,
                  {{"P2", "0.5"}}},
                 {"drain", "Kzr_Dsp_Vi_Drain", "P1", "P1=1:50", 1.0f, 50.0f, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.effect);
        const std::string output = Path(std::string(c.effect) + ".mkv");
        std::vector<std::string> args = {"render",  c.effect, input,       "-o",     output,
                                         "--codec", "ffv1",   "--animate", c.animate};
        for (const auto& [key, value] : c.sets)
            args.insert(args.end(), {"--set", key + "=" + value});
        const Outcome o = Fxhost(args);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(Stream(output, 1).substr(0, 16), "pcm_s16le audio ");  // copied as it was
        const auto frames = Decode(output, kW, kH);
        ASSERT_EQ(frames.size(), size_t{kFrames});
        const size_t effect = kzrtest::EffectIndex(c.id);
        for (int k = 0; k < kFrames; ++k) {
            const double t = static_cast<double>(k) / (kFrames - 1);
            Settings sets = c.sets;
            sets.emplace_back(c.key, Shortest(float(double{c.from} + (double{c.to} - c.from) * t)));
            EXPECT_TRUE(frames[size_t(k)] == RenderHere(effect, InputFrame(k), kW, kH, sets))
                << "frame " << k;
        }
    }
    // The built-in test card as a clip: its marker moves.
    ASSERT_EQ(Fxhost({"render", "hstretch", "-o", Path("card.mkv"), "--codec", "ffv1", "--size",
                      "63x47", "--duration", "0.4", "--fps", "10"})
                  .status,
              0);
    const auto card = Decode(Path("card.mkv"), 63, 47);
    ASSERT_EQ(card.size(), 4u);
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(card[size_t(k)] ==
                    RenderHere(HStretch(), refhost::MakeTestCard(63, 47, k / 4.0), 63, 47, {}));
    EXPECT_FALSE(card[0] == card[1]);
}

TEST_F(FxhostVideoTest, FailuresLeaveNoOutput) {
    const std::string input = MakeInput();
    std::ofstream(Path("broken.mp4")) << "not a video";
    fs::create_directory(Path("empty-path"));
    const std::string noTools = "PATH=" + Path("empty-path");
    const struct {
        std::vector<std::string> args;
        std::string env;
        std::vector<std::string> parts;
    } cases[] = {
        {{Path("broken.mp4"), "-o", Path("a.mp4")}, "", {"broken.mp4"}},
        {{input, "-o", Path("b.mp4")}, noTools, {"ffprobe was not found", "install ffmpeg"}},
        {{"-o", Path("c.mp4"), "--size", "16x8", "--duration", "0.2"},
         noTools,
         {"ffmpeg was not found", "install ffmpeg"}},
        {{input, "-o", Path("d.mp4"), "--codec", "no-such-encoder"},
         "",
         {"ffmpeg could not encode", "d.mp4"}},
        {{input, "-o", Path("e.png")}, "", {"video", "image"}},
        {{input, "-o", Path("f.mp4"), "--fps", "30"}, "", {"--fps"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"render", "hstretch"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome o =
            Fxhost(args, c.env.empty() ? std::vector<std::string>{} : std::vector{c.env});
        EXPECT_NE(o.status, 0);
        for (const std::string& part : c.parts)
            EXPECT_TRUE(Contains(o.err, part)) << o.err;
        EXPECT_EQ(Files(), (std::vector<std::string>{"broken.mp4", "empty-path", "in.mkv"}));
    }
}

// ---- gallery and bench ---------------------------------------------------------------

TEST_F(FxhostTest, GalleryHoldsEveryEffectAtItsDefaults) {
    const std::string out = Path("gallery.png");
    const Outcome o = Fxhost({"gallery", "-o", out, "--tile", "40x24", "--lang", "DEU"});
    ASSERT_EQ(o.status, 0) << o.err;
    const fxhost::Image g = fxhost::ReadImage(out);
    for (const size_t i : AvailableEffects()) {
        const auto tile = RenderHere(i, refhost::MakeTestCard(40, 24), 40, 24, {});
        bool found = false;
        for (uint32_t y = 0; y + 24 <= g.height && !found; ++y)
            for (uint32_t x = 0; x + 40 <= g.width && !found; ++x) {
                found = true;
                for (uint32_t r = 0; r < 24 && found; ++r)
                    found = std::equal(tile.begin() + r * 40, tile.begin() + (r + 1) * 40,
                                       g.pixels.begin() + (y + r) * g.width + x);
            }
        EXPECT_TRUE(found) << kzrtest::TheModule().Effect(i).Id << " is not in the gallery";
    }
    EXPECT_NE(Fxhost({"gallery", "-o", out}).status, 0) << "overwrote without --force";
}

TEST_F(FxhostTest, BenchReportsEveryRequestedEffect) {
    const Outcome o =
        Fxhost({"bench", "hstretch", "HStretch", "--size", "48x32", "--runs", "3", "--json"});
    ASSERT_EQ(o.status, 0) << o.err;
    const json doc = json::parse(o.out);
    EXPECT_EQ(doc["width"], 48);
    EXPECT_EQ(doc["runs"], 3);
    ASSERT_EQ(doc["effects"].size(), 2u);
    for (const json& e : doc["effects"]) {
        EXPECT_EQ(e["effect"], "hstretch");
        for (const char* phase : {"prepare_ms", "process_ms"}) {
            const json& t = e[phase];
            EXPECT_TRUE(t["min"] <= t["median"] && t["median"] <= t["max"] && t["mad"] >= 0);
        }
        EXPECT_GT(e["fps"].get<double>(), 0);
    }
    const Outcome text = Fxhost({"bench", "--size", "16x16", "--runs", "1"});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const size_t i : AvailableEffects())
        EXPECT_TRUE(Contains(text.out, refhost::ShortName(kzrtest::TheModule().Effect(i))));
    EXPECT_NE(Fxhost({"bench", "nope"}).status, 0);

    const fxhost::Timing odd = fxhost::Summarize({5, 1, 3, 2, 4});
    EXPECT_TRUE(odd.median == 3 && odd.mad == 1 && odd.min == 1 && odd.max == 5);
    const fxhost::Timing even = fxhost::Summarize({1, 2, 3, 10});
    EXPECT_TRUE(even.median == 2.5 && even.mad == 1);  // deviations 1.5 0.5 0.5 7.5
    EXPECT_EQ(fxhost::Summarize({}).median, 0);
}

}  // namespace
