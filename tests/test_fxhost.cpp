// fxhost's description of the module against the descriptor tables it is
// made from, and the statistics of fxhost bench.  (fxhost's pictures,
// videos, gallery, texts and bench output are compared with the reference
// host in tests/python/test_fxhost.py.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "apps/fxhost/bench.h"
#include "refhost/texts.h"
#include "tests/test_util.h"

namespace {

using nlohmann::json;

// What fxhost writes to its standard output for `args` (plain words).
std::string FxhostOutput(const std::string& args) {
    FILE* p = popen((std::string(KZR_FXHOST_PATH) + " " + args).c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    EXPECT_TRUE(p != nullptr && pclose(p) == 0) << "fxhost " << args;
    return out;
}

float FloatAt(const void* p, size_t i) {
    float v;
    std::memcpy(&v, static_cast<const char*>(p) + 4 * i, 4);
    return v;
}

TEST(FxhostList, JsonMatchesTheDescriptorTables) {
    const refhost::Module& module = kzrtest::TheModule();
    for (const char* language : {"ENU", "DEU"}) {
        SCOPED_TRACE(language);
        const json doc = json::parse(FxhostOutput(std::string("list --json --lang ") + language));
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

TEST(FxhostBench, SummariesOfTheRuns) {
    const fxhost::Timing odd = fxhost::Summarize({5, 1, 3, 2, 4});
    EXPECT_TRUE(odd.median == 3 && odd.mad == 1 && odd.min == 1 && odd.max == 5);
    const fxhost::Timing even = fxhost::Summarize({1, 2, 3, 10});
    EXPECT_TRUE(even.median == 2.5 && even.mad == 1);  // deviations 1.5 0.5 0.5 7.5
    EXPECT_EQ(fxhost::Summarize({}).median, 0);
}

}  // namespace
