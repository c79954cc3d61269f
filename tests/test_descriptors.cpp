// The descriptor tables as the host sees them: read through raw byte offsets
// from the pointer KZR_DSP_InitModule hands out, never through the project's
// own record types, so a layout slip cannot hide.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

const uint8_t* Bytes(const void* p) { return static_cast<const uint8_t*>(p); }
uint64_t U64(const void* p, size_t off) {
    uint64_t v;
    std::memcpy(&v, Bytes(p) + off, 8);
    return v;
}
uint32_t U32(const void* p, size_t off) {
    uint32_t v;
    std::memcpy(&v, Bytes(p) + off, 4);
    return v;
}
const void* Ptr(const void* p, size_t off) {
    const void* v;
    std::memcpy(&v, Bytes(p) + off, 8);
    return v;
}
std::string Str(const void* p, size_t off) {
    const auto* s = static_cast<const char*>(Ptr(p, off));
    return s ? s : "(null)";
}
float F32(const void* p, size_t off = 0) {
    float v;
    std::memcpy(&v, Bytes(p) + off, 4);
    return v;
}
int32_t I32(const void* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

struct ExpectedEffect {
    const char* id;
    const char* key;  // the part of the resource keys after "IDS_DSP_Vi_"
    const char* author;
    const char* vendor;
    uint32_t a12, paramCount, stateSize, blobSize;
};

const ExpectedEffect kEffects[10] = {
    {"Kzr_Dsp_Vi_HMirror", "HMirror", "Xalo", "Nimbrelle", 2, 9, 16, 52},
    {"Kzr_Dsp_Vi_HSqueeze", "HSqueeze", "Xalo", "Nimbrelle", 4, 11, 32, 64},
    {"Kzr_Dsp_Vi_HStretch", "HStretch", "Xalo", "Nimbrelle", 3, 11, 24, 60},
    {"Kzr_Dsp_Vi_VStretch", "VStretch", "Dsp Author", "Nimbrelle", 3, 11, 24, 60},
    {"Kzr_Dsp_Vi_TriStretch", "TriStretch", "Pemu", "Nimbrelle", 2, 11, 24, 64},
    {"Kzr_Dsp_Vi_DoubleFishEye", "DoubleFishEye", "DSP Vi_DoubleFishEye Author",
     "DSP Vi_DoubleFishEye Vendor", 4, 11, 40, 64},
    {"Kzr_Dsp_Vi_Drain", "Drain", "DSP Vi_Drain Author", "DSP Vi_Drain Vendor", 4, 11, 40, 64},
    {"DSP_VI_Laser", "Laser", "DSP Vi_Laser Author", "DSP Vi_Laser Vendor", 3, 9, 48, 56},
    {"Kzr_Dsp_Vi_Square", "Square", "DSP Vi_Square Author", "DSP Vi_Square Vendor", 4, 9, 40, 56},
    {"Kzr_Dsp_Vi_Sshape", "Sshape", "Dsp Author", "Nimbrelle", 3, 10, 24, 56},
};

// One own parameter: key, name key, type, presentation, size, host flag and
// the six values (min, max, default, three extras); a position's values are
// given as x and y pairs, an integer's as floats holding the integer.
struct ExpectedParam {
    const char* key;
    const char* name;
    uint32_t type, presentation, size, hostFlag;
    std::vector<float> values;  // 6 (float/bool) or 12 (position)
};

const std::vector<float> kInverse = {0, 0, 0, 0, 0, 0};
const std::vector<float> kInner = {0.2f, 0.2f, 0.8f, 0.8f, 0.5f, 0.5f,
                                   0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
const std::vector<float> kFull = {0, 0, 1, 1, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};

const std::vector<ExpectedParam> kOwn[10] = {
    {{"P1", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 0, kInverse},
     {"P2", "IDS_Vi_Param_XOffset_Name", 5, 2, 4, 1, {0, 1, 0.5f, 0.5f, 0.5f, 0.5f}}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {0.001f, 0.1f, 0.02f, 0.001f, 0.1f, 0.1f}},
     {"P2", "IDS_Vi_Param_Size_Name", 5, 2, 4, 1, {0.2f, 0.5f, 0.5f, 0.2f, 0.45f, 0.45f}},
     {"P3", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 0, kInverse},
     {"P4", "IDS_Vi_Param_Position_Name", 15, 11, 8, 1, kInner}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {0.001f, 0.1f, 0.02f, 0.001f, 0.1f, 0.1f}},
     {"P2", "IDS_Vi_Param_Size_Name", 5, 2, 4, 1, {0.2f, 1, 0.8f, 0.8f, 0.9f, 0.9f}},
     {"P3", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 0, kInverse},
     {"P4", "IDS_Vi_Param_XOffset_Name", 5, 2, 4, 1, {0.2f, 0.8f, 0.5f, 0.5f, 0.5f, 0.5f}}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {0.001f, 0.1f, 0.05f, 0.001f, 0.1f, 0.1f}},
     {"P2", "IDS_Vi_Param_Size_Name", 5, 2, 4, 1, {0.2f, 1, 0.8f, 0.8f, 0.9f, 0.9f}},
     {"P3", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 1, kInverse},
     {"P4", "IDS_Vi_Param_YOffset_Name", 5, 2, 4, 1, {0.2f, 0.8f, 0.5f, 0.5f, 0.5f, 0.5f}}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {0.001f, 0.1f, 0.02f, 0.001f, 0.1f, 0.1f}},
     {"P2", "IDS_Vi_Param_Size_Name", 5, 2, 4, 1, {0.2f, 1, 0.8f, 0.8f, 0.9f, 0.9f}},
     {"P3", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 0, kInverse},
     {"P4", "IDS_Vi_Param_Position_Name", 15, 11, 8, 1, kInner}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {0.001f, 0.1f, 0.02f, 0.02f, 0.02f, 0.1f}},
     {"P2", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 0, kInverse},
     {"P3", "IDS_Vi_Param_Size_Name", 5, 2, 4, 1, {0.5f, 3.5f, 2, 0.5f, 2, 2}},
     {"P4", "IDS_Vi_Param_Position_Name", 15, 11, 8, 1, kInner}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {1, 50, 5, 20, 20, 5}},
     {"P2", "IDS_Vi_Param_Size_Name", 5, 2, 4, 1, {0.5f, 1, 1, 0.8f, 0.8f, 1}},
     {"P3", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 0, kInverse},
     {"P4", "IDS_Vi_Param_Position_Name", 15, 11, 8, 1, kFull}},
    {{"P1", "IDS_Tr_Param_Percentage_Name", 5, 2, 4, 1, {0, 1, 0.4f, 0.4f, 0.4f, 0.4f}},
     {"P2", "IDS_Vi_Param_Position_Name", 15, 11, 8, 1, kFull}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {0.001f, 0.1f, 0.02f, 0.001f, 0.001f, 0.02f}},
     {"P2", "IDS_Vi_Param_Position_Name", 15, 11, 8, 1, kInner}},
    {{"P1", "IDS_Vi_Param_Degree_Name", 5, 2, 4, 1, {0.001f, 0.1f, 0.02f, 0.001f, 0.1f, 0.1f}},
     {"P2", "IDS_Vi_Param_Size_Name", 5, 2, 4, 1, {0.2f, 1, 0.8f, 0.8f, 0.8f, 1}},
     {"P3", "IDS_Vi_Param_Inverse_Name", 8, 6, 4, 1, kInverse}},
};

const void* Record() {
    const void* record = &kzrtest::TheModule().Descriptor();
    return record;
}

TEST(Descriptors, ModuleRecord) {
    const void* m = Record();
    EXPECT_EQ(U64(m, 0x00), 16u);
    EXPECT_EQ(Str(m, 0x08), "IDS_Module_Name");
    EXPECT_EQ(Str(m, 0x10), "IDS_Module_Desc");
    EXPECT_EQ(Str(m, 0x18), "Module Author");
    EXPECT_EQ(Str(m, 0x20), "Module Vendor");
    EXPECT_NE(Ptr(m, 0x28), nullptr);  // module handle
    EXPECT_NE(Ptr(m, 0x30), nullptr);  // resource handle after init
    EXPECT_EQ(U64(m, 0x38), 10u);
    EXPECT_NE(Ptr(m, 0x40), nullptr);
    EXPECT_EQ(U64(m, 0x48), 0u);
}

TEST(Descriptors, EffectRecords) {
    const void* m = Record();
    const uint8_t* effects = Bytes(Ptr(m, 0x40));
    const uint32_t attrs[15] = {2, 1, 1, 0, 1, 1, 0, 0, 1, 0, 0, 2, 0, 1, 3};
    for (int e = 0; e < 10; ++e) {
        const ExpectedEffect& x = kEffects[e];
        SCOPED_TRACE(x.id);
        const uint8_t* fx = effects + 216 * e;  // records are exactly 216 bytes apart
        EXPECT_EQ(Str(fx, 0x00), x.id);
        EXPECT_EQ(Str(fx, 0x08), std::string("IDS_DSP_Vi_") + x.key + "_Name");
        EXPECT_EQ(Str(fx, 0x10), std::string("IDS_DSP_Vi_") + x.key + "_Desc");
        EXPECT_EQ(Str(fx, 0x18), x.author);
        EXPECT_EQ(Str(fx, 0x20), x.vendor);
        EXPECT_EQ(U64(fx, 0x28), 10u);
        for (int i = 0; i < 15; ++i)
            EXPECT_EQ(U32(fx, 0x30 + 4 * i), i == 12 ? x.a12 : attrs[i]) << "attribute " << i;
        EXPECT_EQ(U32(fx, 0x6C), x.paramCount);
        EXPECT_NE(Ptr(fx, 0x70), nullptr);
        EXPECT_EQ(Ptr(fx, 0x78), m);
        EXPECT_EQ(U64(fx, 0x80), x.stateSize);
        EXPECT_EQ(Ptr(fx, 0xA8), nullptr);  // slot 4
        EXPECT_EQ(Ptr(fx, 0xC0), nullptr);  // slot 7
        EXPECT_EQ(Ptr(fx, 0xC8), nullptr);  // slot 8
        EXPECT_EQ(Ptr(fx, 0xB8), Ptr(fx, 0x90));  // Unprepare is Destroy
        EXPECT_EQ(Str(fx, 0xD0), "DSP_SUBCLASS_V_EF_VISUAL");
        if (!kzrtest::TheModule().Available(static_cast<size_t>(e))) continue;
        for (size_t slot : {0x88, 0x90, 0x98, 0xA0, 0xB0}) EXPECT_NE(Ptr(fx, slot), nullptr);
    }
}

TEST(Descriptors, SharedAndOwnCallbacks) {
    const uint8_t* effects = Bytes(Ptr(Record(), 0x40));
    std::vector<int> built;
    for (int e = 0; e < 10; ++e)
        if (kzrtest::TheModule().Available(static_cast<size_t>(e))) built.push_back(e);
    for (int a : built) {
        for (int b : built) {
            if (a == b) continue;
            const uint8_t* fa = effects + 216 * a;
            const uint8_t* fb = effects + 216 * b;
            EXPECT_EQ(Ptr(fa, 0x98), Ptr(fb, 0x98)) << "SetSource is shared";
            for (size_t slot : {0x88, 0xA0, 0xB0})
                EXPECT_NE(Ptr(fa, slot), Ptr(fb, slot)) << "own slot " << slot << " of " << a;
        }
    }
    // Destroy families: one map (2, 3, 4, 9), two maps (1, 5, 6, 8).
    const auto destroy = [&](int e) { return Ptr(effects + 216 * e, 0x90); };
    const auto has = [&](int e) { return kzrtest::TheModule().Available(static_cast<size_t>(e)); };
    for (const std::vector<int>& family : {std::vector<int>{2, 3, 4, 9}, {1, 5, 6, 8}})
        for (int a : family)
            for (int b : family) {
                if (!has(a) || !has(b)) continue;
                EXPECT_EQ(destroy(a), destroy(b)) << a << " vs " << b;
            }
}

void CheckValues(const uint8_t* p, const ExpectedParam& x) {
    const bool point = x.type == 15;
    for (int v = 0; v < 6; ++v) {
        const void* value = Ptr(p, 0x18 + 8 * v);
        ASSERT_NE(value, nullptr) << "value " << v;
        if (point) {
            EXPECT_EQ(F32(value, 0), x.values[2 * v]) << "value " << v << " x";
            EXPECT_EQ(F32(value, 4), x.values[2 * v + 1]) << "value " << v << " y";
        } else if (x.type == 8) {
            EXPECT_EQ(I32(value), static_cast<int32_t>(x.values[v])) << "value " << v;
        } else {
            EXPECT_EQ(F32(value), x.values[v]) << "value " << v;
        }
    }
}

TEST(Descriptors, OwnParameters) {
    const uint8_t* effects = Bytes(Ptr(Record(), 0x40));
    for (int e = 0; e < 10; ++e) {
        SCOPED_TRACE(kEffects[e].id);
        const uint8_t* table = Bytes(Ptr(effects + 216 * e, 0x70));
        uint32_t blob = 0;
        for (uint32_t i = 0; i < kEffects[e].paramCount; ++i) blob += U32(table + 120 * i, 0x5C);
        EXPECT_EQ(blob, kEffects[e].blobSize);
        for (size_t i = 0; i < kOwn[e].size(); ++i) {
            const ExpectedParam& x = kOwn[e][i];
            SCOPED_TRACE(x.key);
            const uint8_t* p = table + 120 * i;  // records are exactly 120 bytes apart
            EXPECT_EQ(Str(p, 0x00), x.key);
            EXPECT_EQ(Str(p, 0x08), x.name);
            const std::string desc = Str(p, 0x10);
            if (x.type == 15)
                EXPECT_EQ(desc, "IDS_Vi_Param_Position_Desc");
            else if (std::string(x.name) == "IDS_Tr_Param_Percentage_Name")
                EXPECT_EQ(desc, "IDS_Tr_Param_Percentage_Desc");
            else
                EXPECT_EQ(desc, "(null)");
            EXPECT_EQ(U64(p, 0x48), 0u);
            EXPECT_EQ(U32(p, 0x50), 0u);
            EXPECT_EQ(U32(p, 0x54), x.type);
            EXPECT_EQ(U32(p, 0x58), x.presentation);
            EXPECT_EQ(U32(p, 0x5C), x.size);
            EXPECT_EQ(U32(p, 0x60), x.hostFlag);
            EXPECT_EQ(U32(p, 0x64) | U32(p, 0x68) | U32(p, 0x6C), 0u);
            EXPECT_EQ(U32(p, 0x70), i);
            EXPECT_EQ(U32(p, 0x74), 0xFFFFFFFFu);
            CheckValues(p, x);
        }
    }
}

TEST(Descriptors, CommonBlockFollowsEveryTable) {
    struct Common {
        const char* key;
        const char* name;
        uint32_t type, presentation, size, hostFlag, number;
    } common[7] = {
        {"MP1", "IDS_Vi_Param_Mask_V2_Name", 13, 10, 16, 1, 90},
        {"MP2", "IDS_Vi_Param_MaskType_Name;box;circle;none", 3, 9, 4, 0, 91},
        {"MP3", "IDS_Vi_Param_MaskBlurRadius_Name", 5, 2, 4, 1, 92},
        {"MP4", "IDS_Vi_Param_InverseEffectArea_Name", 8, 6, 4, 0, 93},
        {"SalientP1", "IDS_Vi_Param_SalientType_Name;All;FG;BG", 3, 9, 4, 0, 99},
        {"MP5", "IDS_Vi_Param_MetaDataType_Name", 3, 1, 4, 0, 94},
        {"MP6", "IDS_Vi_Param_MetaDataPath_Name", 14, 1, 8, 0, 95},
    };
    const uint8_t* effects = Bytes(Ptr(Record(), 0x40));
    const uint8_t* firstTable = nullptr;
    for (int e = 0; e < 10; ++e) {
        SCOPED_TRACE(kEffects[e].id);
        const uint8_t* table = Bytes(Ptr(effects + 216 * e, 0x70));
        const size_t own = kOwn[e].size();
        for (int c = 0; c < 7; ++c) {
            const uint8_t* p = table + 120 * (own + c);
            EXPECT_EQ(Str(p, 0x00), common[c].key);
            EXPECT_EQ(Str(p, 0x08), common[c].name);
            EXPECT_EQ(Ptr(p, 0x10), nullptr);
            EXPECT_EQ(U32(p, 0x54), common[c].type);
            EXPECT_EQ(U32(p, 0x58), common[c].presentation);
            EXPECT_EQ(U32(p, 0x5C), common[c].size);
            EXPECT_EQ(U32(p, 0x60), common[c].hostFlag);
            EXPECT_EQ(U32(p, 0x70), common[c].number);
            EXPECT_EQ(U32(p, 0x74), 99u);
            for (int v = 0; v < 6; ++v) EXPECT_NE(Ptr(p, 0x18 + 8 * v), nullptr);
            // The copies share one value storage.
            if (firstTable != nullptr) {
                for (int v = 0; v < 6; ++v)
                    EXPECT_EQ(Ptr(p, 0x18 + 8 * v),
                              Ptr(firstTable + 120 * (kOwn[0].size() + c), 0x18 + 8 * v));
            }
        }
        if (firstTable == nullptr) firstTable = table;
    }
    // Values of the common block.
    const uint8_t* t = firstTable + 120 * kOwn[0].size();
    const float rectMax[4] = {0, 0, 1, 1}, rectDef[4] = {0.25f, 0.25f, 0.75f, 0.75f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(F32(Ptr(t, 0x18), 4 * i), 0.0f);
        EXPECT_EQ(F32(Ptr(t, 0x20), 4 * i), rectMax[i]);
        for (size_t v : {0x28, 0x30, 0x38, 0x40}) EXPECT_EQ(F32(Ptr(t, v), 4 * i), rectDef[i]);
    }
    const int32_t ints[4][3] = {{0, 2, 2}, {0, 1, 0}, {0, 2, 0}, {0, 5, 0}};  // MP2, MP4, Salient, MP5
    const int rows[4] = {1, 3, 4, 5};
    for (int k = 0; k < 4; ++k)
        for (int v = 0; v < 3; ++v)
            EXPECT_EQ(I32(Ptr(t + 120 * rows[k], 0x18 + 8 * v)), ints[k][v]) << rows[k];
    EXPECT_EQ(I32(Ptr(t + 120 * 1, 0x30)), 2);  // MP2 extras
    EXPECT_EQ(F32(Ptr(t + 120 * 2, 0x20)), 2.0f);  // MP3 max
    const uint8_t* mp6 = t + 120 * 6;
    EXPECT_EQ(Ptr(Ptr(mp6, 0x18), 0), nullptr);
    EXPECT_EQ(Ptr(Ptr(mp6, 0x20), 0), nullptr);
    const auto* empty = static_cast<const char*>(Ptr(Ptr(mp6, 0x28), 0));
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
}

TEST(Descriptors, CreateWritesTheDefaultsPacked) {
    const size_t index = kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch");
    refhost::Instance fx(kzrtest::TheModule(), index);
    ASSERT_EQ(fx.BlobSize(), 60u);
    EXPECT_EQ(fx.CreateCalls(), 1);
    const uint8_t* b = fx.Blob();
    EXPECT_EQ(F32(b, 0), 0.02f);
    EXPECT_EQ(F32(b, 4), 0.8f);
    EXPECT_EQ(I32(b + 8), 0);
    EXPECT_EQ(F32(b, 12), 0.5f);
    const float mask[4] = {0.25f, 0.25f, 0.75f, 0.75f};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(F32(b, 16 + 4 * i), mask[i]);
    EXPECT_EQ(I32(b + 32), 2);  // MP2: none
    EXPECT_EQ(F32(b, 36), 0.0f);
    EXPECT_EQ(I32(b + 40), 0);
    EXPECT_EQ(I32(b + 44), 0);
    EXPECT_EQ(I32(b + 48), 0);
    const auto* path = static_cast<const char*>(Ptr(b, 52));
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, "");
}

}  // namespace
