// The descriptor tables as the host sees them: read through raw byte offsets
// from the pointer KZR_DSP_InitModule hands out, never through the project's
// own record types, so a layout slip cannot hide.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/test_util.h"

namespace {

template <class T = uint64_t>
T At(const void* p, size_t off) {
    T v;
    std::memcpy(&v, static_cast<const uint8_t*>(p) + off, sizeof v);
    return v;
}
const uint8_t* Ptr(const void* p, size_t off) {
    return At<const uint8_t*>(p, off);
}
std::string Str(const void* p, size_t off) {
    const auto* s = At<const char*>(p, off);
    return s ? s : "(null)";
}

const void* Record() {
    return &kzrtest::TheModule().Descriptor();
}
// Effect records are exactly 216 bytes apart, parameter records 120.
const uint8_t* Effect(int e) {
    return Ptr(Record(), 0x40) + 216 * e;
}
const uint8_t* Param(int e, size_t i) {
    return Ptr(Effect(e), 0x70) + 120 * i;
}

TEST(Descriptors, ModuleRecord) {
    const void* m = Record();
    EXPECT_EQ(At(m, 0x00), 16u);
    EXPECT_EQ(Str(m, 0x08), "IDS_Module_Name");
    EXPECT_EQ(Str(m, 0x10), "IDS_Module_Desc");
    EXPECT_NE(Ptr(m, 0x28), nullptr);  // module handle
    EXPECT_NE(Ptr(m, 0x30), nullptr);  // resource handle after init
    EXPECT_EQ(At(m, 0x38), 10u);
    EXPECT_EQ(At(m, 0x48), 0u);
}

TEST(Descriptors, EffectRecordsAndTheirSlots) {
    for (int e = 0; e < 10; ++e) {
        const uint8_t* fx = Effect(e);
        const std::string id = Str(fx, 0x00);
        SCOPED_TRACE(id);
        const std::string name = id == "DSP_VI_Laser" ? "Laser" : id.substr(id.rfind('_') + 1);
        EXPECT_TRUE(id == "DSP_VI_Laser" || id == "Kzr_Dsp_Vi_" + name);
        EXPECT_EQ(Str(fx, 0x08), "IDS_DSP_Vi_" + name + "_Name");
        EXPECT_EQ(Str(fx, 0x10), "IDS_DSP_Vi_" + name + "_Desc");
        EXPECT_EQ(At(fx, 0x28), 10u);
        EXPECT_EQ(Ptr(fx, 0x78), Record());
        EXPECT_EQ(Str(fx, 0xD0), "DSP_SUBCLASS_V_EF_VISUAL");
        EXPECT_EQ(Ptr(fx, 0xA8), nullptr);        // slot 4
        EXPECT_EQ(Ptr(fx, 0xC0), nullptr);        // slot 7
        EXPECT_EQ(Ptr(fx, 0xC8), nullptr);        // slot 8
        EXPECT_EQ(Ptr(fx, 0xB8), Ptr(fx, 0x90));  // Unprepare is Destroy
        EXPECT_EQ(Ptr(fx, 0x98), Ptr(Effect(0), 0x98)) << "SetSource is shared";
        if (!kzrtest::TheModule().Available(static_cast<size_t>(e)))
            continue;
        for (size_t slot : {0x88, 0x90, 0xA0, 0xB0}) {
            EXPECT_NE(Ptr(fx, slot), nullptr) << slot;
            for (int other = 0; other < e; ++other)  // Create, Process, Prepare are their own
                EXPECT_TRUE(slot == 0x90 || Ptr(fx, slot) != Ptr(Effect(other), slot)) << other;
        }
    }
}

// Own parameters P1... first, numbered from 0 in group 0xFFFFFFFF, then the
// common block, whose copies share one value storage; values sized by type.
TEST(Descriptors, ParameterRecords) {
    const char* common[7] = {"MP1", "MP2", "MP3", "MP4", "SalientP1", "MP5", "MP6"};
    for (int e = 0; e < 10; ++e) {
        SCOPED_TRACE(Str(Effect(e), 0x00));
        const uint32_t count = At<uint32_t>(Effect(e), 0x6C);
        ASSERT_GE(count, 9u);
        const uint32_t own = count - 7;
        uint32_t blob = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* p = Param(e, i);
            SCOPED_TRACE(Str(p, 0x00));
            EXPECT_EQ(Str(p, 0x00), i < own ? "P" + std::to_string(i + 1) : common[i - own]);
            EXPECT_EQ(Str(p, 0x08).substr(0, 4), "IDS_");
            EXPECT_EQ(At(p, 0x48) | At(p, 0x64) | At<uint32_t>(p, 0x50) | At<uint32_t>(p, 0x6C),
                      0u);
            EXPECT_EQ(At<uint32_t>(p, 0x74), i < own ? 0xFFFFFFFFu : 99u);
            if (i < own) {
                EXPECT_EQ(At<uint32_t>(p, 0x70), i);
            }
            const uint32_t type = At<uint32_t>(p, 0x54), size = At<uint32_t>(p, 0x5C);
            EXPECT_EQ(size, type == 15 || type == 14 ? 8u : type == 13 ? 16u : 4u) << type;
            blob += size;
            for (int v = 0; v < 6; ++v) {
                EXPECT_NE(Ptr(p, 0x18 + 8 * v), nullptr);
                if (i >= own) {
                    EXPECT_EQ(Ptr(p, 0x18 + 8 * v), Ptr(Param(0, i - own + 2), 0x18 + 8 * v));
                }
            }
        }
        refhost::Instance fx(kzrtest::TheModule(), static_cast<size_t>(e));
        EXPECT_EQ(fx.BlobSize(), blob);
    }
}

// Create calls the host object once and writes every default, packed in
// table order.
TEST(Descriptors, CreateWritesTheDefaultsPacked) {
    for (int e = 0; e < 10; ++e) {
        if (!kzrtest::TheModule().Available(static_cast<size_t>(e)))
            continue;
        refhost::Instance fx(kzrtest::TheModule(), static_cast<size_t>(e));
        SCOPED_TRACE(fx.Effect().Id);
        EXPECT_EQ(fx.CreateCalls(), 1);
        size_t offset = 0;
        for (uint32_t i = 0; i < At<uint32_t>(Effect(e), 0x6C); ++i) {
            const uint32_t size = At<uint32_t>(Param(e, i), 0x5C);
            EXPECT_EQ(std::memcmp(fx.Blob() + offset, Ptr(Param(e, i), 0x28), size), 0) << i;
            offset += size;
        }
    }
}

}  // namespace
