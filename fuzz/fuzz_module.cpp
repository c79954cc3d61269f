// Fuzz target of the module's host interface.  The input picks an effect and
// plays a short sequence of host calls on it: prepare (at sizes up to 96x96,
// now and then at sizes the map format cannot address), set source, process
// into fenced frames, unprepare, destroy and create again, raw parameter
// bytes with changed flags, CpuLevel, TaskCount, the reference size, and
// frames of another size than the prepared one.  Any crash, stray access,
// leak, surface left wrapped or wrong status for a refused size is a finding.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "fuzz/fuzz_input.h"
#include "refhost/refhost.h"

namespace {

const refhost::Module& TheModule() {
    static const refhost::Module module(KZR_MODULE_PATH);
    return module;
}

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// A frame size of up to 96x96 (0 included); one value in 64 is a side the
// 16.16 map format cannot address.
void PickSize(kzrfuzz::Input& in, uint32_t& w, uint32_t& h, bool& huge) {
    const uint8_t a = in.Byte(), b = in.Byte();
    huge = a == 0xFF;
    if (huge) {
        const uint32_t extra = in.Raw<uint32_t>();
        w = (extra & 1) ? 65537u + (extra >> 8) % 1000000u : 1u + (extra >> 1) % 4u;
        h = (extra & 1) ? 1u + (extra >> 1) % 4u : 65537u + (extra >> 8) % 1000000u;
        return;
    }
    w = a % 97u;
    h = b % 97u;
}

void Process(refhost::Instance& fx, kzrfuzz::Input& in, uint32_t w, uint32_t h) {
    const size_t bytes = size_t{w} * h * 4;
    const uint8_t mode = in.Byte();
    kzrfuzz::FencedFrame src(bytes, mode & 1, in.Byte());
    kzrfuzz::FencedFrame dst(bytes, mode & 2, 0);
    // A host hands over a live source frame, or none at all.
    fx.SetSource((mode & 4) ? nullptr : src.Data());
    const uint32_t oldW = fx.Context().Width, oldH = fx.Context().Height;
    fx.Context().Width = w;
    fx.Context().Height = h;
    const kzr::Status s = (mode & 8) ? fx.Process(nullptr) : fx.Process(dst.Data());
    fx.Context().Width = oldW;
    fx.Context().Height = oldH;
    Check(s == kzr::kOk || s == kzr::kFail || s == kzr::kOutOfMemory);
    Check(fx.OutstandingSurfaces() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kzrfuzz::Input in(data, size);
    const refhost::Module& module = TheModule();
    const size_t effect = in.Byte() % module.EffectCount();
    if (!module.Available(effect))
        return 0;
    auto fx = std::make_unique<refhost::Instance>(module, effect);
    const kzr::EffectDescriptor& d = fx->Effect();
    uint32_t w = 16, h = 9;  // the size the host last prepared
    for (int step = 0; step < 24 && !in.Empty(); ++step) {
        switch (in.Byte() % 9) {
            case 0: {  // prepare, possibly at another size
                uint32_t nw, nh;
                bool huge;
                PickSize(in, nw, nh, huge);
                const kzr::Status s = fx->Prepare(nw, nh);
                // Effects that keep buffers refuse sizes their maps cannot
                // address; the mirror keeps none and works at any size.
                if (huge && d.StateSize > sizeof(kzr::FrameState))
                    Check(s == kzr::kOutOfMemory);
                else
                    Check(s == kzr::kOk || s == kzr::kOutOfMemory);
                if (!huge) {
                    w = nw;
                    h = nh;
                } else {
                    fx->Context().Width = w;
                    fx->Context().Height = h;
                }
                break;
            }
            case 1:  // a frame of the prepared size
                Process(*fx, in, w, h);
                break;
            case 2: {  // a frame of another size than the prepared one
                uint32_t ow, oh;
                bool huge;
                PickSize(in, ow, oh, huge);
                if (!huge)
                    Process(*fx, in, ow, oh);
                break;
            }
            case 3: {  // raw bytes into one parameter, changed flag raised
                const size_t p = in.Byte() % d.ParamCount();
                uint8_t bytes[64] = {};
                const size_t n = d.Params[p].ValueSize;
                if (n <= sizeof bytes) {
                    in.Bytes(bytes, n);
                    fx->WriteRaw(p, bytes, n);
                }
                break;
            }
            case 4: {  // changed flags as a bit mask
                const uint32_t mask = in.Raw<uint32_t>();
                for (size_t p = 0; p < d.ParamCount(); ++p)
                    fx->SetChanged(p, (mask >> (p % 32)) & 1);
                break;
            }
            case 5:  // processor level and task count, any value
                fx->SetCpuLevel(static_cast<int8_t>(in.Byte()));
                fx->SetTaskCount(static_cast<int8_t>(in.Byte()) % 9);
                break;
            case 6:
                fx->SetReference(in.Raw<uint32_t>(), in.Raw<uint32_t>());
                break;
            case 7:
                Check(d.Slots.Unprepare == nullptr || fx->Unprepare() == kzr::kOk);
                break;
            case 8:  // destroy, then create the effect anew
                Check(fx->Destroy() == kzr::kOk);
                fx = std::make_unique<refhost::Instance>(module, effect);
                break;
        }
    }
    return 0;
}
