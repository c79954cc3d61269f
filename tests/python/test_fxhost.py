"""fxhost end to end against kzrfx, which drives the module through the
reference host in this process: pictures in and out, the test card, videos
(lossless frame by frame while a parameter ramps, H.264 within its loss),
the gallery and the language of the listed texts."""

import json
import shutil
import subprocess

import cv2
import numpy as np
import pytest

import kzrfx
from fxtest import fxhost, frames, probe, read, render, sets

INFO = {e.name: e for e in kzrfx.effects("en")}
NAMES = list(INFO)
ffmpeg = pytest.mark.skipif(not (shutil.which("ffmpeg") and shutil.which("ffprobe")),
                            reason="ffmpeg/ffprobe are not installed (apt-get install ffmpeg)")


def pattern(w, h, k=0):
    """Byte c of pixel (x, y): x 73 + y 151 + c 29 + (x y) % 97 + 37 k, alpha included."""
    y, x, c = np.ogrid[:h, :w, :4]
    return ((x * 73 + y * 151 + c * 29 + (x * y) % 97 + 37 * k) & 255).astype(np.uint8)


def along(p, t):
    """The value a fraction t into a number's or a position's range, as a float."""
    def f(lo, hi):
        return float(np.float32(lo + (hi - lo) * t))
    return tuple(map(f, p.min, p.max)) if p.type == "position" else f(p.min, p.max)


@pytest.mark.parametrize("name", NAMES)
def test_pictures_equal_the_reference_host(name, tmp_path):
    # An odd size and every alpha; values 0.3 into the ranges, then 0.7 with
    # the switches on, the plain code and two bands.
    src = pattern(67, 43)
    for t, level, tasks in [(0.3, None, None), (0.7, 0, 2)]:
        values = {p.key: t > 0.5 if p.type == "switch" else along(p, t)
                  for p in INFO[name].params}
        fx = kzrfx.Effect(name, 67, 43, **values)
        options = ()
        if level is not None:
            fx.cpu_level, fx.task_count = level, tasks
            options = ("--cpu-level", level, "--tasks", tasks)
        np.testing.assert_array_equal(render(tmp_path, name, values, *options, src=src),
                                      fx(src), err_msg=f"t = {t}")


def test_names_in_both_languages_edge_sizes_and_the_reference_size(tmp_path):
    card = kzrfx.test_card(97, 61)
    want = kzrfx.Effect("hstretch", 97, 61, degree=0.07)(card)
    german = kzrfx.effects("de")[NAMES.index("hstretch")].params[0].name
    for key, lang in [("P1", "C"), ("Degree", "C"), (german, "de_DE.UTF-8")]:
        fxhost("render", "HStretch", "-o", tmp_path / "c.png", "--size", "97x61", "--force",
               "--set", f"{key}=0.07", env={"LANG": lang})
        np.testing.assert_array_equal(read(tmp_path / "c.png"), want, err_msg=key)
    for name in NAMES:
        for w, h in [(1, 1), (2, 1), (1, 3)]:
            np.testing.assert_array_equal(render(tmp_path, name, size=(w, h)),
                                          kzrfx.Effect(name, w, h)(kzrfx.test_card(w, h)),
                                          err_msg=f"{name} {w}x{h}")
    # The laser keeps display proportions: a reference of the frame's own
    # shape changes nothing, another one does.
    plain = render(tmp_path, "laser", size=(64, 36))
    assert (render(tmp_path, "laser", {}, "--ref", "128x72", size=(64, 36)) == plain).all()
    assert (render(tmp_path, "laser", {}, "--ref", "90x40", size=(64, 36)) != plain).any()
    fxhost("render", "hstretch", "-o", tmp_path / "a.jpg", "--size", "64x48")
    assert cv2.imread(str(tmp_path / "a.jpg")).shape == (48, 64, 3)


@pytest.fixture
def clip(tmp_path):
    """A lossless 10 fps clip of six 65x47 frames with alpha, and a sine tone."""
    src = [pattern(65, 47, k) for k in range(6)]
    (tmp_path / "frames.raw").write_bytes(b"".join(f.tobytes() for f in src))
    subprocess.run(["ffmpeg", "-v", "error", "-f", "rawvideo", "-pix_fmt", "rgba", "-s", "65x47",
                    "-framerate", "10", "-i", tmp_path / "frames.raw", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=44100:duration=0.6", "-map", "0:v", "-map",
                    "1:a", "-c:v", "ffv1", "-c:a", "pcm_s16le", tmp_path / "in.mkv"], check=True)
    return tmp_path / "in.mkv", src


@ffmpeg
def test_h264_keeps_size_rate_frames_and_audio(clip, tmp_path):
    video, src = clip
    out = tmp_path / "out.mp4"
    assert fxhost("render", "hstretch", video, "-o", out, "--set", "P1=0.1").stderr == "", \
        "no progress bar off a terminal"
    assert probe(out, 0) == ["h264", "video", "65", "47", "10/1"]
    assert probe(out, 1)[:2] == ["aac", "audio"]  # PCM cannot go into MP4
    got = frames(out, 65, 47)
    assert len(got) == 6
    fx = kzrfx.Effect("hstretch", 65, 47, degree=0.1)
    for k, s in enumerate(src):
        # Within the codec's loss: much nearer the distorted frame than the input.
        g = got[k][..., :3].astype(int)
        assert 3 * np.abs(g - fx(s)[..., :3]).sum() < np.abs(g - s[..., :3]).sum(), k


@ffmpeg
@pytest.mark.parametrize("name, animate, ends, fixed", [
    ("hstretch", "Degree=0.001:0.1", (0.001, 0.1), {"P2": 0.5}),
    ("drain", "P1=1:50", (1, 50), {}),
])
def test_lossless_frames_equal_the_reference_host_while_ramping(clip, tmp_path, name, animate,
                                                                ends, fixed):
    video, src = clip
    out = tmp_path / "out.mkv"
    fxhost("render", name, video, "-o", out, "--codec", "ffv1", "--animate", animate, *sets(fixed))
    assert probe(out, 1)[:2] == ["pcm_s16le", "audio"]  # copied as it was
    got = frames(out, 65, 47)
    assert len(got) == 6
    lo, hi = (float(np.float32(e)) for e in ends)
    for k in range(6):
        value = float(np.float32(lo + (hi - lo) * (k / 5)))
        fx = kzrfx.Effect(name, 65, 47, P1=value, **fixed)
        np.testing.assert_array_equal(got[k], fx(src[k]), err_msg=f"frame {k}")


@ffmpeg
def test_test_card_clip_moves_its_marker(tmp_path):
    fxhost("render", "hstretch", "-o", tmp_path / "card.mkv", "--codec", "ffv1", "--size", "63x47",
           "--duration", "0.4", "--fps", "10")
    got = frames(tmp_path / "card.mkv", 63, 47)
    fx = kzrfx.Effect("hstretch", 63, 47)
    assert len(got) == 4 and (got[0] != got[1]).any()
    for k in range(4):
        np.testing.assert_array_equal(got[k], fx(kzrfx.test_card(63, 47, k / 4)))


def test_gallery_holds_every_effect_at_its_defaults(tmp_path):
    out = tmp_path / "gallery.png"
    fxhost("gallery", "-o", out, "--tile", "40x24", "--lang", "DEU")
    g = read(out)
    for name in NAMES:
        tile = kzrfx.Effect(name, 40, 24)(kzrfx.test_card(40, 24))
        ys, xs = np.nonzero((g[:-23, :-39] == tile[0, 0]).all(axis=2))
        assert any((g[y:y + 24, x:x + 40] == tile).all() for y, x in zip(ys, xs)), name
    assert fxhost("gallery", "-o", out, check=False).returncode != 0, "overwrote without --force"


@pytest.mark.parametrize("args, env, language", [
    (["--lang", "ENU"], {}, "ENU"),
    (["--lang", "deu"], {}, "DEU"),
    ([], {"LANG": "de_DE.UTF-8"}, "DEU"),  # the module's pick
    ([], {"LANG": "de_DE.UTF-8", "LC_ALL": "en_US.UTF-8"}, "ENU"),  # LC_ALL first
    ([], {"LANG": "C.UTF-8"}, "ENU"),  # untranslated: English
    ([], {"LANG": "POSIX"}, "ENU"),
    ([], {"LANG": "fr_FR.UTF-8"}, "ENU"),  # no French library
])
def test_list_shows_the_texts_of_the_chosen_language(args, env, language):
    out = fxhost("list", *args, env=env).stdout
    doc = json.loads(fxhost("list", "--json", "--lang", language).stdout)
    lines = out.splitlines()
    assert doc["module"]["name"] in lines[0] and f"KZR_PlugIn_6_{language}.DLL" in lines[0]
    for e in doc["effects"]:
        assert any(line.startswith(e["short_name"] + " ") and e["name"] in line
                   for line in lines), e["id"]
        assert e["description"] in out
        for p in e["parameters"] + e["host_parameters"]:
            assert any(line.startswith(f"    {p['key']} ") and f" {p['name']} " in line
                       for line in lines), (e["id"], p["key"])
    assert "Host-only parameters" in out and out.count("    MP1 ") == 1


def test_bench_reports_every_requested_effect():
    doc = json.loads(fxhost("bench", "hstretch", "HStretch", "--size", "48x32", "--runs", "3",
                            "--json").stdout)
    assert (doc["width"], doc["runs"]) == (48, 3)
    assert [e["effect"] for e in doc["effects"]] == ["hstretch", "hstretch"]
    for e in doc["effects"]:
        for t in (e["prepare_ms"], e["process_ms"]):
            assert t["min"] <= t["median"] <= t["max"] and t["mad"] >= 0
        assert e["fps"] > 0
    out = fxhost("bench", "--size", "16x16", "--runs", "1").stdout
    assert all(name in out for name in NAMES)
    assert fxhost("bench", "nope", check=False).returncode != 0
