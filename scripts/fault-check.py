#!/usr/bin/python3
"""Plants small faults in the product code, one at a time, and records which
the test suite catches.

For every fault the file is changed (one exact text replaced by another), the
test programs of the given build folder are rebuilt, ctest runs, and the file
is put back, whatever happens (also on an exception or Ctrl-C).  A fault is
caught when a test fails; a fault that does not build is reported as such.

    scripts/fault-check.py BUILD_DIR [--json OUT] [--only ID,...] [--exclude REGEX]
                           [--jobs N] [--timeout S] [--suite-timeout S]
    scripts/fault-check.py --list
    scripts/fault-check.py --compare OLD.json[,MORE.json] NEW.json[,MORE.json]

--compare prints a markdown table of two runs (say the suite before and
after a change) and names every fault the first caught and the second missed.

The source tree is the one BUILD_DIR was configured from.  Before the faults
the unchanged tree is built and tested once; the run stops if that fails.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

# (id, file, exact old text, new text, what the fault is)
FAULTS = [
    # imaging/
    ("lerp-rounds", "imaging/sample.cpp",
     "return ((a << 16) + (b - a) * f) >> 16;",
     "return ((a << 16) + (b - a) * f + 0x8000) >> 16;",
     "scalar bilinear step rounds instead of truncating"),
    ("sample-channel-swap", "imaging/sample.cpp",
     "result |= static_cast<uint32_t>(Lerp16(top, bottom, fy) & 0xFF) << shift;",
     "result |= static_cast<uint32_t>(Lerp16(top, bottom, fy) & 0xFF) << (24 - shift);",
     "scalar sampler writes the channels in reverse order"),
    ("sample-inside-off-by-one", "imaging/sample.cpp",
     "i < static_cast<uint32_t>(s->Width) &&",
     "i <= static_cast<uint32_t>(s->Width) &&",
     "a column one past the right edge counts as inside"),
    ("sample-bottom-edge", "imaging/sample.cpp",
     "j + 1 < static_cast<uint32_t>(s->Height) ? top + rowBytes : top;",
     "j < static_cast<uint32_t>(s->Height) ? top + rowBytes : top;",
     "the last row interpolates with the row below the frame"),
    ("simd-axes-swapped", "imaging/sample.cpp",
     "_mm_slli_epi16(_mm_sub_epi16(b, a), 1), _mm_set1_epi16(hx)));",
     "_mm_slli_epi16(_mm_sub_epi16(b, a), 1), _mm_set1_epi16(hy)));",
     "SSE2 sampler uses the vertical fraction horizontally"),
    ("avx2-last-row", "imaging/remap_avx2.cpp",
     "const uint8_t* b = jj[0] < lastRow ? t + rowBytes : t;",
     "const uint8_t* b = t;",
     "AVX2 row remap never blends with the next row"),
    ("avx2-x-fraction", "imaging/remap_avx2.cpp",
     "return LerpPairs(LoadHalfPairs(row, offsets, n), HalfFractions(v, n));",
     "return LerpPairs(LoadHalfPairs(row, offsets, n), _mm256_srli_epi16(HalfFractions(v, n), 1));",
     "AVX2 column remap halves the fraction"),
    ("avx2-x-edge", "imaging/remap_avx2.cpp",
     "const __m256i edge = _mm256_set1_epi32(src->Width - 2);",
     "const __m256i edge = _mm256_set1_epi32(src->Width - 1);",
     "AVX2 column remap takes the last column's right neighbour from the next row"),
    ("avx2-x-window-spread", "imaging/remap_avx2.cpp",
     "!_mm256_testz_si256(spread, _mm256_set1_epi32(~7))",
     "!_mm256_testz_si256(spread, _mm256_set1_epi32(~15))",
     "AVX2 column remap picks eight pixels from a window of sixteen columns"),
    ("avx2-x-window-right", "imaging/remap_avx2.cpp",
     "_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4)), spread);",
     "_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), spread);",
     "AVX2 column remap takes the right neighbours from the left pixels' window"),
    ("avx2-y-one-row", "imaging/remap_avx2.cpp",
     "if (row > lastRow || _mm256_movemask_epi8(_mm256_cmpeq_epi32(j, j0)) != -1)",
     "if (row > lastRow)",
     "AVX2 row remap reads eight columns from the first one's rows"),
    ("avx2-span-edge", "imaging/remap_avx2.cpp",
     "_mm256_set1_epi32(static_cast<int32_t>(width) - 2);",
     "_mm256_set1_epi32(static_cast<int32_t>(width) - 1);",
     "AVX2 two-map remap takes the last column's right neighbour from the next row"),
    ("avx2-span-order", "imaging/remap_avx2.cpp",
     "StoreEight(dst + 4 * k, half(0), half(1));",
     "StoreEight(dst + 4 * k, half(1), half(0));",
     "AVX2 two-map remap writes the two halves of eight pixels swapped"),
    ("avx2-constant-row-check", "imaging/remap_avx2.cpp",
     "if (!_mm256_testz_si256(differ, differ))",
     "if (false && !_mm256_testz_si256(differ, differ))",
     "AVX2 row remap takes a row whose ends agree for a row of one entry"),
    ("avx2-constant-row-copy", "imaging/remap_avx2.cpp",
     "if (h == 0) {",
     "if (h < 64) {",
     "AVX2 row remap copies rows whose fraction is small but not 0"),
    ("avx2-points-alpha", "imaging/remap_avx2.cpp",
     "_mm256_or_si256(_mm256_andnot_si256(alpha, src),",
     "_mm256_or_si256(src,",
     "AVX2 point copy overwrites the fourth byte"),
    ("avx2-points-clamp", "imaging/remap_avx2.cpp",
     "_mm256_max_epi32(_mm256_min_epi32(x, lastX), zero);",
     "_mm256_max_epi32(_mm256_min_epi32(x, width), zero);",
     "AVX2 point copy clamps columns to the width, not the last column"),
    ("avx2-constant-row-tail", "imaging/remap_avx2.cpp",
     "    for (; c < count; ++c)\n        SingleSample(src, Fixed(static_cast<uint32_t>(c), 0), static_cast<int32_t>(v),",
     "    for (; c + 1 < count; ++c)\n        SingleSample(src, Fixed(static_cast<uint32_t>(c), 0), static_cast<int32_t>(v),",
     "AVX2 row remap of a row of one entry leaves its last column undrawn"),
    ("avx2-spread-pixel1", "imaging/remap_avx2.cpp",
     "_mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5,  //\n                                            8, 9,",
     "_mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1,  //\n                                            8, 9,",
     "AVX2 fractions spread: the second of four pixels takes the first one's fraction"),
    ("remap-row-off-by-one", "imaging/frame_remap.cpp",
     "const int32_t fy = static_cast<int32_t>(static_cast<uint32_t>(y) << 16);",
     "const int32_t fy = static_cast<int32_t>(static_cast<uint32_t>(y + 1) << 16);",
     "per-pixel column remap reads the next row"),
    ("avx2-band-first-row", "imaging/frame_remap.cpp",
     "RemapXRows(src, first, last - first, width, 0, 0, map, dst);",
     "RemapXRows(src, 0, last - first, width, 0, 0, map, dst);",
     "AVX2 column remap of a band reads the source rows from row 0"),
    ("clamp-to-size", "imaging/coordmap.h",
     "return FixedTrunc(static_cast<float>(size - 1));",
     "return FixedTrunc(static_cast<float>(size));",
     "positions past the edge clamp to the size, not the last pixel"),
    ("fixed-nearest-truncates", "imaging/coordmap.h",
     "return static_cast<uint32_t>(_mm_cvtss_si64(_mm_set_ss(p * 65536.0f)));",
     "return static_cast<uint32_t>(_mm_cvttss_si64(_mm_set_ss(p * 65536.0f)));",
     "entries meant to be rounded are truncated"),
    ("map-size-mixup", "imaging/coordmap.cpp",
     "return h->Width == width && h->Height == height;",
     "return h->Width == width;",
     "a map of another height is accepted"),
    # host/
    ("param-offset", "host/params.cpp",
     "for (int32_t i = 0; i < index; ++i)",
     "for (int32_t i = 0; i <= index; ++i)",
     "parameters are read one slot too far into the blob"),
    ("last-flag-ignored", "host/params.cpp",
     "for (uint32_t i = 0; i < count; ++i)\n        if (ctx->ParamChanged[i] != 0)",
     "for (uint32_t i = 0; i + 1 < count; ++i)\n        if (ctx->ParamChanged[i] != 0)",
     "the last parameter's changed flag is not looked at"),
    ("create-writes-max", "host/callbacks.cpp",
     "std::memcpy(pos, p.DefaultValue, p.ValueSize);",
     "std::memcpy(pos, p.MaxValue, p.ValueSize);",
     "Create writes the maxima instead of the defaults"),
    ("flag-b-as-a", "host/callbacks.cpp",
     "ctx->MapFlagB = 1;",
     "ctx->MapFlagA = 1;",
     "Prepare raises the wrong context flag"),
    ("cpu-level-dropped", "host/callbacks.cpp",
     "SetCpuLevel(src, ctx.CpuLevel);",
     "SetCpuLevel(src, 0);",
     "the host's CpuLevel never reaches the source surface"),
    ("no-rebuild-when-built", "host/callbacks.h",
     "rebuild = rebuild || st.MapBuilt == 0;",
     "rebuild = st.MapBuilt == 0;",
     "changed flags do not rebuild maps once built"),
    ("prepare-too-large-fails", "host/callbacks.h",
     "if (!MapSizeSupported(ctx->Width, ctx->Height))\n                return kOutOfMemory;",
     "if (!MapSizeSupported(ctx->Width, ctx->Height))\n                return kFail;",
     "a frame too large for the maps is refused as a failure, not as out of memory"),
    ("prepare-again-keeps-maps", "host/callbacks.h",
     "            }\n        }\n        BuildMaps(*ctx, st);\n",
     "            }\n            BuildMaps(*ctx, st);\n        }\n",
     "a second Prepare at the same size keeps the maps of the first"),
    ("keyframe-draw-before-build", "host/callbacks.h",
     "Fx::BuildRows(*ctx, st, first, last);\n                    DrawRows(*ctx, st, frames, first, last);",
     "DrawRows(*ctx, st, frames, first, last);\n                    Fx::BuildRows(*ctx, st, first, last);",
     "a keyframe draws each band through the maps of the frame before"),
    ("keyframe-band-rows", "host/callbacks.h",
     "Fx::BuildRows(*ctx, st, first, last);\n                    DrawRows",
     "Fx::BuildRows(*ctx, st, first, first + 1);\n                    DrawRows",
     "a keyframe rebuilds only the first row of every band"),
    # effects/
    ("band-reach-short", "effects/exp_curve.h",
     "std::abs(w - 1 - c)) + 1);",
     "std::abs(w - 1 - c)));",
     "stretch bands leave the farthest column of a band unbent"),
    ("band-lane-nan", "effects/exp_curve.h",
     "std::isnan(v[i]) ? static_cast<float>(d) : v[i]",
     "v[i]",
     "stretch bands write where the curve gives no number instead of keeping the column"),
    ("hstretch-far-edge", "effects/hstretch.cpp",
     "const float D = c > w / 2 ? static_cast<float>(c) : static_cast<float>(w - c);",
     "const float D = c >= w / 2 ? static_cast<float>(c) : static_cast<float>(w - c);",
     "horizontal stretch takes the wrong edge at the middle column"),
    ("vstretch-band-edge", "effects/vstretch.cpp",
     "if (d >= R) {\n            entry",
     "if (d > R) {\n            entry",
     "vertical stretch bends the row at the band's edge"),
    ("hmirror-left-part", "effects/hmirror.cpp",
     "p.leftPart = inverse ? k <= w / 2 : k < w / 2;",
     "p.leftPart = k < w / 2;",
     "mirror with inverse picks the wrong part at the middle"),
    ("hmirror-missed-clamp", "effects/hmirror.cpp",
     "const int32_t k = std::clamp(m, 1, w - 2);",
     "const int32_t k = std::clamp(m, 1, w - 1);",
     "mirror axis may reach the last column"),
    ("hmirror-copy-gap", "effects/hmirror.cpp",
     "const size_t after = before + 4 * static_cast<size_t>(plan.steps);",
     "const size_t after = before + 4 * static_cast<size_t>(plan.steps + 1);",
     "mirror's copy leaves out one column more than its mirrored run writes"),
    ("avx2-reverse-order", "imaging/remap_avx2.cpp",
     "const __m256i reversed = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);",
     "const __m256i reversed = _mm256_setr_epi32(6, 7, 4, 5, 2, 3, 0, 1);",
     "AVX2 mirror reverses its runs in pairs of pixels"),
    ("hmirror-run-order", "imaging/pixel_run.h",
     "_mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3))",
     "_mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2))",
     "mirror reverses its runs in pairs of pixels, not four at a time"),
    ("hsqueeze-rim", "effects/hsqueeze.cpp",
     "const int64_t rest = r2 - dy * dy;",
     "const int64_t rest = r2 - dy * dy - 1;",
     "squeeze leaves the lens rim out"),
    ("hsqueeze-vertical-sign", "effects/hsqueeze.cpp",
     "_mm_store_ps(b.py + i, _mm_add_ps(cy, _mm_div_ps(_mm_mul_ps(fdy, s), d)));",
     "_mm_store_ps(b.py + i, _mm_sub_ps(cy, _mm_div_ps(_mm_mul_ps(fdy, s), d)));",
     "squeeze moves rows the wrong way inside its lenses"),
    ("hsqueeze-lane-off-by-one", "effects/hsqueeze.cpp",
     "_mm_set1_epi32(static_cast<int32_t>(a0)), _mm_setr_epi32(0, 1, 2, 3));",
     "_mm_set1_epi32(static_cast<int32_t>(a0)), _mm_setr_epi32(0, 1, 2, 4));",
     "squeeze takes the fourth lane's column offset one distance too far out"),
    ("hsqueeze-identity-gap", "effects/hsqueeze.cpp",
     "Identity(mapX, mapY, row, y, next, lo);",
     "Identity(mapX, mapY, row, y, next, lo - 1);",
     "squeeze leaves the column before each lens's run unwritten"),
    ("hsqueeze-float-distances", "effects/hsqueeze.cpp",
     "if (far * far + dy * dy < (int64_t{1} << 24)) {",
     "if (far * far + dy * dy < (int64_t{1} << 26)) {",
     "squeeze takes float square roots of squared distances float cannot hold"),
    ("tristretch-half", "effects/tristretch.cpp",
     "const int32_t E = y <= cy ? cy : h - cy;",
     "const int32_t E = y <= cy ? cy : h - 1 - cy;",
     "tri-stretch measures the lower half one row short"),
    ("tristretch-float-args", "effects/tristretch.cpp",
     "alignas(16) double dist[kBandBlock];",
     "alignas(16) float dist[kBandBlock];",
     "tri-stretch forms its curve arguments in float instead of double"),
    ("band-own-edge", "effects/exp_curve.h",
     "bandFirst = int64_t{c} - R + 1,",
     "bandFirst = int64_t{c} - R,",
     "stretch bands write the own column one column into the band's left side"),
    ("own-columns-step", "imaging/coordmap.h",
     "_mm_set1_epi32(4 << 16);",
     "_mm_set1_epi32(3 << 16);",
     "own-column entries step by three columns every four"),
    ("fisheye-missed-clamp", "effects/doublefisheye.cpp",
     "return std::min(FixedNearest(v), limit);",
     "return FixedNearest(v);",
     "fish-eye entries may round up past the frame"),
    ("fisheye-lower-lens", "effects/doublefisheye.cpp",
     "const bool toLastPixel = cols[i].lower && !inverse;",
     "const bool toLastPixel = cols[i].lower;",
     "fish-eye lower lens clamps like the normal one when inverse"),
    ("fisheye-block-shift", "effects/doublefisheye.cpp",
     "const float dist = dists[i], nd = nds[i];",
     "const float dist = dists[i], nd = nds[i > 0 ? i - 1 : 0];",
     "fish-eye takes the curve value of the column before within a block"),
    ("fisheye-block-edge", "effects/doublefisheye.cpp",
     "for (; n < kBlock && a0 + n <= aLast; ++n) {",
     "for (; n < kBlock - 1 && a0 + n <= aLast; ++n) {",
     "fish-eye leaves the last column of every block of 64 out of the map"),
    ("fisheye-upper-rim", "effects/doublefisheye.cpp",
     "if (rr >= static_cast<float>(qU)) {",
     "if (rr > static_cast<float>(qU)) {",
     "fish-eye leaves the pixels exactly on the upper lens rim out of the map"),
    ("drain-inside", "effects/column_run.h",
     "const int64_t last = centre + k + 1 > width ? width : centre + k + 1;",
     "const int64_t last = centre + k > width ? width : centre + k;",
     "drain copies the right end of each row's run instead of sampling it"),
    ("drain-rim-in-place", "effects/drain.cpp",
     "if (q <= ri2)",
     "if (q < ri2)",
     "drain drawn into its own source copies the pixels on the whole radius"),
    ("drain-clamp-axis", "effects/drain.cpp",
     "ClampedFixedNearest(sy_, rule_.lastY, ey_, n_)",
     "ClampedFixedNearest(sy_, rule_.lastX, ey_, n_)",
     "drain clamps rows to the last column"),
    ("drain-kept-angles", "effects/drain.cpp",
     "kept != nullptr && kept->Tag[0] == tag[0] && kept->Tag[1] == tag[1];",
     "kept != nullptr && kept->Tag[1] == tag[1];",
     "drain reuses the angles kept for a circle at another position"),
    ("sincos-short-reduction", "imaging/trig_lanes.h",
     "    r = L::Sub(r, L::Mul(k, L::Set(kHalfPi2)));\n", "",
     "vector sine and cosine reduce the angle by pi/2 known to 33 bits only"),
    ("atan2-octant", "imaging/trig_lanes.h",
     "L::Select(L::Less(ax, ay), L::Sub(L::Set(kHalfPi), t), t)",
     "L::Select(L::Less(ay, ax), L::Sub(L::Set(kHalfPi), t), t)",
     "vector polar angles folded back into the wrong octant"),
    ("explog-margin-dropped", "imaging/exp_log_lanes.h",
     "return L::SelectFloats(same, f, L::SetFloats(std::numeric_limits<float>::quiet_NaN()));",
     "return f;",
     "vector exp and log curves round to float without the margin check, never asking the library"),
    ("explog-margin-one-end", "imaging/exp_log_lanes.h",
     "const F same = L::AndFloats(L::SameFloatBits(L::ToFloats(L::Sub(v, margin)), f),",
     "const F same = L::AndFloats(L::SameFloatBits(f, f),",
     "vector exp and log curves check only the upper end of the margin"),
    ("explog-avx2-tail", "imaging/exp_log_lanes.h",
     "rest[j - i] = x[j];",
     "rest[j - i] = x[i];",
     "exp and log kernels repeat the first value of a partial last step (tails of 2 or 3: AVX2)"),
    ("explog-fallback-float-arg", "imaging/exp_log.cpp",
     "out[j] = Exact<kLog>(u[j], m);",
     "out[j] = Exact<kLog>(static_cast<float>(u[j]), m);",
     "exp and log curves of double arguments ask the library with the argument rounded to float"),
    ("explog-short-reduction", "imaging/exp_log_lanes.h",
     "const D r = L::Sub(hi, L::Mul(k, L::Set(kLn2Lo)));",
     "const D r = hi;",
     "vector exp reduces its argument by ln 2 known to 32 bits only"),
    ("drain-turn-limit", "imaging/polar.cpp",
     "_mm_cmple_pd(_mm_and_pd(a, noSign), limit)", "_mm_cmpeq_pd(a, a)",
     "polar sources take vector sines and cosines of angles beyond their range"),
    ("drain-band", "imaging/multitask.cpp",
     "static_cast<int32_t>(int64_t{height} * (index + 1) / count)};",
     "static_cast<int32_t>(int64_t{height} * (index + 1) / count - 1)};",
     "parallel bands of rows (the drain's among them) leave a row out"),
    ("laser-alpha", "imaging/point_copy.h",
     "std::memcpy(dst, s.pixels + 4 * from, 3);",
     "std::memcpy(dst, s.pixels + 4 * from, 4);",
     "laser overwrites the fourth byte outside the ellipse"),
    ("laser-column-rounding", "imaging/rays.h",
     "point[0] = TruncDouble(static_cast<double>(((g.Lf * fx) / r + g.cxc) / g.a) + 0.5);",
     "point[0] = TruncDouble(static_cast<double>(((g.Lf * fx) / r + g.cxc) / g.a));",
     "laser rim columns truncated instead of rounded"),
    ("laser-avx2-rounding", "imaging/rays_avx2.cpp",
     "const __m256d half = _mm256_set1_pd(0.5);",
     "const __m256d half = _mm256_set1_pd(0.0);",
     "AVX2 laser rim columns truncated instead of rounded"),
    ("laser-avx2-saturate", "imaging/rays_avx2.cpp",
     "const __m128i top = _mm_blendv_epi8(t, _mm_set1_epi32(INT32_MAX), big);",
     "const __m128i top = t;",
     "AVX2 laser rim columns beyond the range wrap to INT_MIN instead of saturating"),
    ("laser-avx2-pairs", "imaging/rays_avx2.cpp",
     "_mm256_permute2x128_si256(lo, hi, 0x31));",
     "_mm256_permute2x128_si256(hi, lo, 0x31));",
     "AVX2 laser rim points of pixels 4 to 7 stored in the wrong order"),
    ("laser-avx2-tail", "imaging/rays_avx2.cpp",
     "mask &= (1u << (w - x)) - 1u;",
     "mask &= (1u << (w - x - 1)) - 1u;",
     "AVX2 inside test leaves the last pixel of a row out when the width is not a multiple of 8"),
    ("laser-bottom-corner", "effects/laser.cpp",
     "const int64_t top = g.cy, bottom = h - g.cy;",
     "const int64_t top = g.cy, bottom = h - 1 - g.cy;",
     "laser measures its bottom corners from the last row, not the frame height"),
    ("square-reach", "effects/square.cpp",
     "const int32_t r = c > size / 2 ? c : size - c;",
     "const int32_t r = c >= size / 2 ? c : size - c;",
     "square measures the reach to the wrong end at the middle"),
    ("sshape-band-edge", "effects/sshape.cpp",
     "if (banded && d <= R) {",
     "if (banded && d < R) {",
     "S-shape leaves the band's edge row out"),
    # module/
    ("resource-last-dot", "module/resource_name.cpp",
     "const size_t dot = path.find(kDot, searchFrom);",
     "const size_t dot = path.rfind(kDot);",
     "resource name cut at the last dot"),
    ("resource-capacity", "module/resource_name.cpp",
     "if (length + 1 > capacity)",
     "if (length > capacity)",
     "resource name may fill the buffer without room for the terminator"),
    ("mirror-default", "module/descriptor_tables.cpp",
     "constexpr float kMirrorXOffset[6] = {0, 1, 0.5f, 0.5f, 0.5f, 0.5f};",
     "constexpr float kMirrorXOffset[6] = {0, 1, 0.45f, 0.5f, 0.5f, 0.5f};",
     "mirror's default axis off the middle"),
    ("deinit-keeps-handle", "module/module_entry.cpp",
     "    module.ResourceHandle = nullptr;\n    return kzr::kOk;",
     "    return kzr::kOk;",
     "de-initialisation keeps the released handle"),
    # refhost/, the tools and the adapters
    ("set-max-refused", "refhost/refhost.cpp",
     "if (!(value >= lo && value <= hi))",
     "if (!(value >= lo && value < hi))",
     "a number set to its maximum is refused"),
    ("render-from-copy", "apps/fxhost/common.h",
     "RenderOver(fx, src.data(), dst.data());",
     "RenderOver(fx, dst.data(), dst.data());",
     "fxhost hands the effect the destination copy as its source"),
    ("frei0r-position-axis", "adapters/frei0r/frei0r_adapter.cpp",
     "if (std::memcmp(&point[axis], &v, 4) == 0)",
     "if (std::memcmp(&point[0], &v, 4) == 0)",
     "frei0r position change test compares both axes against X"),
    ("kzrfx-overlap", "python/kzrfx_native.cpp",
     "&& Packed(out) && !Overlap(frame, out);",
     "&& Packed(out);",
     "kzrfx renders a frame into its own source when out= is the frame"),
    ("frame-pages-inverted", "refhost/frame_buffer.cpp",
     "    if (LargePageFrames())\n        AdviseLargePages(p, bytes);",
     "    if (!LargePageFrames())\n        AdviseLargePages(p, bytes);",
     "host frames ask for large pages only when switched off"),
    # adapters/gegl/
    ("gegl-input-roi", "adapters/gegl/gegl_ops.cpp",
     "    if (box == nullptr || gegl_rectangle_is_infinite_plane(box))\n        return *roi;\n    return *box;",
     "    return box ? *roi : *roi;",
     "a GEGL operation asks for and renders only the part of its input asked of it"),
    ("gegl-strict-ranges", "adapters/gegl/gegl_ops.cpp",
     "G_PARAM_LAX_VALIDATION | ", "",
     "GEGL properties refuse values out of range instead of clamping them"),
    ("gegl-nan-taken", "adapters/gegl/gegl_adapter.cpp",
     "    if (std::isnan(value))\n        return previous;\n", "",
     "GEGL number properties take NaN"),
    ("gegl-result-unfilled", "adapters/gegl/gegl_adapter.cpp",
     "    std::memcpy(result_.data(), source_.data(), source_.size() * 4);\n", "",
     "the GEGL result does not start as the source"),
    ("gegl-switch-inverted", "adapters/gegl/gegl_adapter.cpp",
     "const int32_t on = values[i] >= 0.5 ? 1 : 0;",
     "const int32_t on = values[i] >= 0.5 ? 0 : 1;",
     "GEGL switches are stored inverted"),
    ("gegl-y-as-x", "adapters/gegl/gegl_adapter.cpp",
     "const size_t axis = p.kind == Property::Kind::kPositionX ? 0 : 1;",
     "const size_t axis = 0;",
     "the GEGL y property moves the centre across"),
]

# Long-running tests that reach no code the faults touch beyond what the
# others cover (end-to-end runs of external hosts).
DEFAULT_EXCLUDE = "^frei0r_hosts$"


class Planted:
    """Replaces one text in a file while alive; the file is restored on exit,
    on an exception and on SIGINT/SIGTERM."""

    def __init__(self, path, old, new):
        self.path, self.old, self.new = path, old, new
        self.original = None

    def __enter__(self):
        with open(self.path, encoding="utf-8") as f:
            text = f.read()
        count = text.count(self.old)
        if count != 1:
            raise LookupError(f"{self.path}: the text occurs {count} times, expected once")
        self.original = text
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(text.replace(self.old, self.new))
        return self

    def restore(self):
        if self.original is not None:
            with open(self.path, "w", encoding="utf-8") as f:
                f.write(self.original)
            self.original = None

    def __exit__(self, *exc):
        self.restore()
        return False


def source_dir(build):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("CMAKE_HOME_DIRECTORY:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit(f"{build}: no CMAKE_HOME_DIRECTORY in CMakeCache.txt")


def test_targets(build):
    out = subprocess.run(["cmake", "--build", build, "--target", "help"],
                         capture_output=True, text=True, check=True).stdout
    names = re.findall(r"^\.\.\. (\S+)", out, re.M)
    wanted = [n for n in names if n in ("kzr_tests", "kzr_alloc_fault_tests", "kzrfx_native",
                                        "kzr_gegl_ops", "kzr_obs_plugin", "kzr_obs_tests")
              or n.endswith("_replay")]
    return wanted or ["all"]


def run(cmd, log=None, timeout=None):
    """Runs cmd in a process group of its own, so an interruption ends the
    tests it started too; returns (exit status, output)."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise
    if log:
        log.write(out)
        log.flush()
    return p.returncode, out


def build_and_test(build, targets, args, log):
    status, _ = run(["cmake", "--build", build, "-j", str(args.jobs), "--target", *targets], log)
    if status != 0:
        return "build failed", []
    cmd = ["ctest", "--test-dir", build, "-j", str(args.jobs), "--timeout", str(args.timeout)]
    if args.exclude:
        cmd += ["-E", args.exclude]
    try:
        status, _ = run(cmd, log, timeout=args.suite_timeout)
    except subprocess.TimeoutExpired:
        # The tests' own time limits are long; a planted endless loop ends here.
        return "tests failed", [f"(ctest still running after {args.suite_timeout} s)"]
    if status == 0:
        return "passed", []
    # Only a test that fails again counts: a fault fails the same way every
    # time, a test disturbed by a busy machine does not.
    status, out = run(cmd + ["--rerun-failed"], log)
    failed = re.findall(r"^\s*\d+ - (\S+)", out, re.M)
    return ("tests failed" if status != 0 else "passed"), failed


def compare(old_files, new_files):
    def load(files):
        results = {}
        for name in files.split(","):
            with open(name, encoding="utf-8") as f:
                results.update({r["id"]: r for r in json.load(f)})
        return results

    old, new = load(old_files), load(new_files)
    mark = {True: "caught", False: "not caught", None: "-"}
    print("| Fault | File | What | Old suite | New suite |")
    print("|---|---|---|---|---|")
    lost = []
    for fid, path, _, _, what in FAULTS:
        o = old.get(fid, {}).get("caught")
        n = new.get(fid, {}).get("caught")
        print(f"| {fid} | {path} | {what} | {mark[o]} | {mark[n]} |")
        if o and not n:
            lost.append(fid)
    caught = lambda r: sum(1 for f in FAULTS if r.get(f[0], {}).get("caught"))
    print(f"\nOld suite: {caught(old)} of {len(FAULTS)} caught; new suite: {caught(new)} of "
          f"{len(FAULTS)} caught.")
    if lost:
        print("Caught before but not now: " + ", ".join(lost))
    return 1 if lost else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", nargs="?")
    ap.add_argument("--json", help="write the results here")
    ap.add_argument("--only", help="comma-separated fault ids")
    ap.add_argument("--exclude", default=DEFAULT_EXCLUDE, help="ctest -E regex")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=120,
                    help="ctest's default seconds per test (for tests without a limit of their own)")
    ap.add_argument("--suite-timeout", type=int, default=300,
                    help="seconds for one whole ctest run; a fault that hangs a test is caught by it")
    ap.add_argument("--list", action="store_true", help="list the faults and stop")
    ap.add_argument("--compare", nargs=2, metavar=("OLD", "NEW"),
                    help="comma-separated result files of two runs")
    args = ap.parse_args()

    if args.compare:
        return compare(*args.compare)
    if args.list:
        for fid, path, _, _, what in FAULTS:
            print(f"{fid:28} {path:30} {what}")
        return 0
    if not args.build:
        ap.error("the build folder is needed")
    build = os.path.abspath(args.build)
    src = source_dir(build)
    faults = FAULTS
    if args.only:
        ids = set(args.only.split(","))
        faults = [f for f in FAULTS if f[0] in ids]
    targets = test_targets(build)

    # SIGTERM unwinds like Ctrl-C, so the planted fault is restored.
    def interrupted(*_):
        raise KeyboardInterrupt()

    signal.signal(signal.SIGTERM, interrupted)
    # A caught signal is reset for the programs started, an ignored one is
    # not: started in the background, the tests of Ctrl-C need it caught.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    log_path = os.path.join(build, "fault-check.log")
    results = []
    with open(log_path, "w", encoding="utf-8") as log:
        print(f"source {src}, build {build}, targets {' '.join(targets)}", flush=True)
        state, failed = build_and_test(build, targets, args, log)
        if state != "passed":
            print(f"the unchanged tree does not pass ({state}: {' '.join(failed)}); see {log_path}")
            return 1
        for fid, path, old, new, what in faults:
            start = time.time()
            log.write(f"\n==== {fid}\n")
            try:
                with Planted(os.path.join(src, path), old, new):
                    state, failed = build_and_test(build, targets, args, log)
            except LookupError as e:
                state, failed = "not applied", [str(e)]
            caught = state == "tests failed"
            results.append({"id": fid, "file": path, "what": what, "state": state,
                            "caught": caught, "failed": failed})
            print(f"{fid:28} {state:12} {time.time() - start:5.0f} s  {' '.join(failed[:6])}",
                  flush=True)
            if args.json:  # after every fault, so an interrupted run keeps its results
                with open(args.json, "w", encoding="utf-8") as f:
                    json.dump(results, f, indent=1)
        # Leave the build matching the restored sources.
        run(["cmake", "--build", build, "-j", str(args.jobs), "--target", *targets], log)

    applied = [r for r in results if r["state"] in ("passed", "tests failed")]
    print(f"caught {sum(r['caught'] for r in applied)} of {len(applied)} faults")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit("interrupted; the planted fault has been restored")
