// The module record, the ten effect records and their parameter tables.
// Everything here is constant data laid out for the host to read in place;
// only the two handle fields of the module record change at run time.
#include "abi/descriptors.h"
#include "effects/effects.h"

namespace kzr {
namespace {

struct Point {
    float x, y;
};
struct Rect {
    float v[4];
};

constexpr uint32_t kOwnGroup = 0xFFFFFFFFu;
constexpr uint32_t kCommonGroup = 99;

// Presentation codes.
constexpr uint32_t kShowFloat = 2, kShowBool = 6, kShowChoice = 9, kShowRect = 10, kShowPoint = 11,
                   kShowPlain = 1;

template <class T>
constexpr ParamDescriptor Param(const char* key, const char* name, const char* desc,
                                const T (&v)[6], uint32_t type, uint32_t presentation,
                                uint32_t hostFlag, uint32_t number, uint32_t group) {
    return {key,    name, desc, &v[0],        &v[1],     &v[2],    {&v[3], &v[4], &v[5]},
            0,      0,    type, presentation, sizeof(T), hostFlag, {0, 0, 0},
            number, group};
}

constexpr ParamDescriptor Float(const char* key, const char* name, const float (&v)[6],
                                uint32_t number, const char* desc = nullptr) {
    return Param(key, name, desc, v, kTypeFloat, kShowFloat, 1, number, kOwnGroup);
}
constexpr ParamDescriptor Bool(const char* key, const int32_t (&v)[6], uint32_t hostFlag,
                               uint32_t number) {
    return Param(key, "IDS_Vi_Param_Inverse_Name", nullptr, v, kTypeBool, kShowBool, hostFlag,
                 number, kOwnGroup);
}
constexpr ParamDescriptor Position(const char* key, const Point (&v)[6], uint32_t number) {
    return Param(key, "IDS_Vi_Param_Position_Name", "IDS_Vi_Param_Position_Desc", v, kTypePoint,
                 kShowPoint, 1, number, kOwnGroup);
}

// ---- Value storage -------------------------------------------------------
// Each array holds min, max, default and the three extra values.

constexpr int32_t kInverse[6] = {0, 0, 0, 0, 0, 0};
constexpr float kMirrorXOffset[6] = {0, 1, 0.5f, 0.5f, 0.5f, 0.5f};

constexpr float kDegreeA[6] = {0.001f, 0.1f, 0.02f, 0.001f, 0.1f, 0.1f};  // squeeze, h-stretch,
                                                                          // tri-stretch, S-shape
constexpr float kVStretchDegree[6] = {0.001f, 0.1f, 0.05f, 0.001f, 0.1f, 0.1f};
constexpr float kFishEyeDegree[6] = {0.001f, 0.1f, 0.02f, 0.02f, 0.02f, 0.1f};
constexpr float kSquareDegree[6] = {0.001f, 0.1f, 0.02f, 0.001f, 0.001f, 0.02f};
constexpr float kDrainDegree[6] = {1, 50, 5, 20, 20, 5};

constexpr float kSqueezeSize[6] = {0.2f, 0.5f, 0.5f, 0.2f, 0.45f, 0.45f};
constexpr float kStretchSize[6] = {0.2f, 1, 0.8f, 0.8f, 0.9f, 0.9f};  // h/v/tri-stretch
constexpr float kFishEyeSize[6] = {0.5f, 3.5f, 2, 0.5f, 2, 2};
constexpr float kDrainSize[6] = {0.5f, 1, 1, 0.8f, 0.8f, 1};
constexpr float kSshapeSize[6] = {0.2f, 1, 0.8f, 0.8f, 0.8f, 1};

constexpr float kCentreOffset[6] = {0.2f, 0.8f, 0.5f, 0.5f, 0.5f, 0.5f};  // XOffset, YOffset
constexpr float kLaserPercentage[6] = {0, 1, 0.4f, 0.4f, 0.4f, 0.4f};

constexpr Point kInnerPosition[6] = {{0.2f, 0.2f}, {0.8f, 0.8f}, {0.5f, 0.5f},
                                     {0.5f, 0.5f}, {0.5f, 0.5f}, {0.5f, 0.5f}};
constexpr Point kFullPosition[6] = {{0, 0},       {1, 1},       {0.5f, 0.5f},
                                    {0.5f, 0.5f}, {0.5f, 0.5f}, {0.5f, 0.5f}};

// Common block.
constexpr Rect kMaskRect[6] = {{{0, 0, 0, 0}},
                               {{0, 0, 1, 1}},
                               {{0.25f, 0.25f, 0.75f, 0.75f}},
                               {{0.25f, 0.25f, 0.75f, 0.75f}},
                               {{0.25f, 0.25f, 0.75f, 0.75f}},
                               {{0.25f, 0.25f, 0.75f, 0.75f}}};
constexpr int32_t kMaskType[6] = {0, 2, 2, 2, 2, 2};
constexpr float kMaskBlur[6] = {0, 2, 0, 0, 0, 0};
constexpr int32_t kInverseArea[6] = {0, 1, 0, 0, 0, 0};
constexpr int32_t kSalientType[6] = {0, 2, 0, 0, 0, 0};
constexpr int32_t kMetaDataType[6] = {0, 5, 0, 0, 0, 0};
constexpr char kEmptyString[] = "";
constexpr const char* kMetaDataPath[6] = {nullptr,      nullptr,      kEmptyString,
                                          kEmptyString, kEmptyString, kEmptyString};

constexpr ParamDescriptor kCommon[7] = {
    Param("MP1", "IDS_Vi_Param_Mask_V2_Name", nullptr, kMaskRect, kTypeRect, kShowRect, 1, 90,
          kCommonGroup),
    Param("MP2", "IDS_Vi_Param_MaskType_Name;box;circle;none", nullptr, kMaskType, kTypeInt,
          kShowChoice, 0, 91, kCommonGroup),
    Param("MP3", "IDS_Vi_Param_MaskBlurRadius_Name", nullptr, kMaskBlur, kTypeFloat, kShowFloat, 1,
          92, kCommonGroup),
    Param("MP4", "IDS_Vi_Param_InverseEffectArea_Name", nullptr, kInverseArea, kTypeBool, kShowBool,
          0, 93, kCommonGroup),
    Param("SalientP1", "IDS_Vi_Param_SalientType_Name;All;FG;BG", nullptr, kSalientType, kTypeInt,
          kShowChoice, 0, 99, kCommonGroup),
    Param("MP5", "IDS_Vi_Param_MetaDataType_Name", nullptr, kMetaDataType, kTypeInt, kShowPlain, 0,
          94, kCommonGroup),
    Param("MP6", "IDS_Vi_Param_MetaDataPath_Name", nullptr, kMetaDataPath, kTypeString, kShowPlain,
          0, 95, kCommonGroup),
};
#define KZR_COMMON_BLOCK \
    kCommon[0], kCommon[1], kCommon[2], kCommon[3], kCommon[4], kCommon[5], kCommon[6]

// ---- Parameter tables ----------------------------------------------------

constexpr ParamDescriptor kHMirrorParams[] = {
    Bool("P1", kInverse, 0, 0), Float("P2", "IDS_Vi_Param_XOffset_Name", kMirrorXOffset, 1),
    KZR_COMMON_BLOCK};
constexpr ParamDescriptor kHSqueezeParams[] = {
    Float("P1", "IDS_Vi_Param_Degree_Name", kDegreeA, 0),
    Float("P2", "IDS_Vi_Param_Size_Name", kSqueezeSize, 1), Bool("P3", kInverse, 0, 2),
    Position("P4", kInnerPosition, 3), KZR_COMMON_BLOCK};
constexpr ParamDescriptor kHStretchParams[] = {
    Float("P1", "IDS_Vi_Param_Degree_Name", kDegreeA, 0),
    Float("P2", "IDS_Vi_Param_Size_Name", kStretchSize, 1), Bool("P3", kInverse, 0, 2),
    Float("P4", "IDS_Vi_Param_XOffset_Name", kCentreOffset, 3), KZR_COMMON_BLOCK};
constexpr ParamDescriptor kVStretchParams[] = {
    Float("P1", "IDS_Vi_Param_Degree_Name", kVStretchDegree, 0),
    Float("P2", "IDS_Vi_Param_Size_Name", kStretchSize, 1), Bool("P3", kInverse, 1, 2),
    Float("P4", "IDS_Vi_Param_YOffset_Name", kCentreOffset, 3), KZR_COMMON_BLOCK};
constexpr ParamDescriptor kTriStretchParams[] = {
    Float("P1", "IDS_Vi_Param_Degree_Name", kDegreeA, 0),
    Float("P2", "IDS_Vi_Param_Size_Name", kStretchSize, 1), Bool("P3", kInverse, 0, 2),
    Position("P4", kInnerPosition, 3), KZR_COMMON_BLOCK};
constexpr ParamDescriptor kDoubleFishEyeParams[] = {
    Float("P1", "IDS_Vi_Param_Degree_Name", kFishEyeDegree, 0), Bool("P2", kInverse, 0, 1),
    Float("P3", "IDS_Vi_Param_Size_Name", kFishEyeSize, 2), Position("P4", kInnerPosition, 3),
    KZR_COMMON_BLOCK};
constexpr ParamDescriptor kDrainParams[] = {
    Float("P1", "IDS_Vi_Param_Degree_Name", kDrainDegree, 0),
    Float("P2", "IDS_Vi_Param_Size_Name", kDrainSize, 1), Bool("P3", kInverse, 0, 2),
    Position("P4", kFullPosition, 3), KZR_COMMON_BLOCK};
constexpr ParamDescriptor kLaserParams[] = {
    Float("P1", "IDS_Tr_Param_Percentage_Name", kLaserPercentage, 0,
          "IDS_Tr_Param_Percentage_Desc"),
    Position("P2", kFullPosition, 1), KZR_COMMON_BLOCK};
constexpr ParamDescriptor kSquareParams[] = {
    Float("P1", "IDS_Vi_Param_Degree_Name", kSquareDegree, 0), Position("P2", kInnerPosition, 1),
    KZR_COMMON_BLOCK};
constexpr ParamDescriptor kSshapeParams[] = {Float("P1", "IDS_Vi_Param_Degree_Name", kDegreeA, 0),
                                             Float("P2", "IDS_Vi_Param_Size_Name", kSshapeSize, 1),
                                             Bool("P3", kInverse, 1, 2), KZR_COMMON_BLOCK};
#undef KZR_COMMON_BLOCK

extern ModuleDescriptor gModule;

constexpr const char* kSubclass = "DSP_SUBCLASS_V_EF_VISUAL";

template <size_t N>
constexpr EffectDescriptor Effect(const char* id, const char* nameKey, const char* descKey,
                                  const char* author, const char* vendor, uint32_t a12,
                                  const ParamDescriptor (&params)[N], uint64_t stateSize,
                                  const EffectSlots& slots) {
    return {id,
            nameKey,
            descKey,
            author,
            vendor,
            10,
            {2, 1, 1, 0, 1, 1, 0, 0, 1, 0, 0, 2, a12, 1, 3, static_cast<uint32_t>(N)},
            params,
            &gModule,
            stateSize,
            slots,
            kSubclass};
}

const EffectDescriptor kEffects[kEffectCount] = {
    Effect("Kzr_Dsp_Vi_HMirror", "IDS_DSP_Vi_HMirror_Name", "IDS_DSP_Vi_HMirror_Desc", "Xalo",
           "Nimbrelle", 2, kHMirrorParams, 16, kHMirrorSlots),
    Effect("Kzr_Dsp_Vi_HSqueeze", "IDS_DSP_Vi_HSqueeze_Name", "IDS_DSP_Vi_HSqueeze_Desc", "Xalo",
           "Nimbrelle", 4, kHSqueezeParams, 32, kHSqueezeSlots),
    Effect("Kzr_Dsp_Vi_HStretch", "IDS_DSP_Vi_HStretch_Name", "IDS_DSP_Vi_HStretch_Desc", "Xalo",
           "Nimbrelle", 3, kHStretchParams, 24, kHStretchSlots),
    Effect("Kzr_Dsp_Vi_VStretch", "IDS_DSP_Vi_VStretch_Name", "IDS_DSP_Vi_VStretch_Desc",
           "Dsp Author", "Nimbrelle", 3, kVStretchParams, 24, kVStretchSlots),
    Effect("Kzr_Dsp_Vi_TriStretch", "IDS_DSP_Vi_TriStretch_Name", "IDS_DSP_Vi_TriStretch_Desc",
           "Pemu", "Nimbrelle", 2, kTriStretchParams, 24, kTriStretchSlots),
    Effect("Kzr_Dsp_Vi_DoubleFishEye", "IDS_DSP_Vi_DoubleFishEye_Name",
           "IDS_DSP_Vi_DoubleFishEye_Desc", "DSP Vi_DoubleFishEye Author",
           "DSP Vi_DoubleFishEye Vendor", 4, kDoubleFishEyeParams, 40, kDoubleFishEyeSlots),
    Effect("Kzr_Dsp_Vi_Drain", "IDS_DSP_Vi_Drain_Name", "IDS_DSP_Vi_Drain_Desc",
           "DSP Vi_Drain Author", "DSP Vi_Drain Vendor", 4, kDrainParams, 40, kDrainSlots),
    Effect("DSP_VI_Laser", "IDS_DSP_Vi_Laser_Name", "IDS_DSP_Vi_Laser_Desc", "DSP Vi_Laser Author",
           "DSP Vi_Laser Vendor", 3, kLaserParams, 48, kLaserSlots),
    Effect("Kzr_Dsp_Vi_Square", "IDS_DSP_Vi_Square_Name", "IDS_DSP_Vi_Square_Desc",
           "DSP Vi_Square Author", "DSP Vi_Square Vendor", 4, kSquareParams, 40, kSquareSlots),
    Effect("Kzr_Dsp_Vi_Sshape", "IDS_DSP_Vi_Sshape_Name", "IDS_DSP_Vi_Sshape_Desc", "Dsp Author",
           "Nimbrelle", 3, kSshapeParams, 24, kSshapeSlots),
};

ModuleDescriptor gModule = {
    16,      "IDS_Module_Name", "IDS_Module_Desc", "Module Author", "Module Vendor",
    nullptr, nullptr,           kEffectCount,      kEffects,        0};

}  // namespace

ModuleDescriptor& TheModule() {
    return gModule;
}

}  // namespace kzr
