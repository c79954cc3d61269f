"""kzrfx against fxhost render (byte for byte), and its handling of
parameters, threads, strides, out= and bad input."""

import math
import os
import subprocess
import sys
import threading

import cv2
import numpy as np
import pytest

import kzrfx

FXHOST = os.environ.get("KZR_FXHOST", "")
SOURCE_DIR = os.environ.get("KZR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
W, H = 322, 181  # odd height, width not a multiple of 8: the vector paths' edges
NAMES = [e.name for e in kzrfx.effects("en")]


def read_png(path):
    bgra = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
    assert bgra is not None and bgra.shape[2] == 4, path
    return cv2.cvtColor(bgra, cv2.COLOR_BGRA2RGBA)


def fxhost_render(tmp_path, name, params, size=(W, H), cpu_level=None, tasks=None):
    out = tmp_path / f"{name}.png"
    cmd = [FXHOST, "render", name, "-o", str(out), "--force", "-q",
           "--size", f"{size[0]}x{size[1]}"]
    for key, value in params.items():
        text = ",".join(repr(float(v)) for v in value) if isinstance(value, tuple) else (
            str(int(value)) if isinstance(value, bool) else repr(float(value)))
        cmd += ["--set", f"{key}={text}"]
    if cpu_level is not None:
        cmd += ["--cpu-level", str(cpu_level)]
    if tasks is not None:
        cmd += ["--tasks", str(tasks)]
    subprocess.run(cmd, check=True, capture_output=True)
    return read_png(out)


def off_default(info):
    """Values away from the defaults: three quarters into every range, the
    switches on, positions off centre."""
    values = {}
    for p in info.params:
        if p.type == "number":
            values[p.key] = float(np.float32(p.min + 0.75 * (p.max - p.min)))
        elif p.type == "switch":
            values[p.key] = True
        elif p.type == "position":
            values[p.key] = tuple(float(np.float32(lo + f * (hi - lo)))
                                  for lo, hi, f in zip(p.min, p.max, (0.3, 0.65)))
    return values


def info_of(name):
    return next(e for e in kzrfx.effects("en") if e.name == name)


@pytest.fixture(scope="module")
def card():
    return kzrfx.test_card(W, H)


# ---- Equal to the reference host -------------------------------------------------

@pytest.mark.parametrize("name", NAMES)
def test_every_effect_equals_fxhost_render_at_defaults_and_off_defaults(name, card, tmp_path):
    assert FXHOST, "KZR_FXHOST names the fxhost program"
    fx = kzrfx.Effect(name, W, H)
    np.testing.assert_array_equal(fx(card), fxhost_render(tmp_path, name, {}))
    values = off_default(info_of(name))
    fx.set(**values)
    got = fx(card)
    want = fxhost_render(tmp_path, name, values)
    assert (got != card).any(), "the effect changed nothing"
    np.testing.assert_array_equal(got, want)
    # A fresh instance made with the values at once: no stale maps either way.
    np.testing.assert_array_equal(kzrfx.Effect(name, W, H, **values)(card), want)


@pytest.mark.parametrize("name", ["hstretch", "drain", "doublefisheye", "laser"])
@pytest.mark.parametrize("level", [0, 3])
def test_lower_cpu_levels_equal_fxhost_at_the_same_level(name, level, card, tmp_path):
    fx = kzrfx.Effect(name, W, H)
    fx.cpu_level = level
    assert fx.cpu_level == level
    np.testing.assert_array_equal(fx(card), fxhost_render(tmp_path, name, {}, cpu_level=level))


def test_drain_in_parallel_slices_equals_one_slice(card, tmp_path):
    fx = kzrfx.Effect("drain", W, H, degree=30, position=(0.4, 0.55))
    one = fx(card)
    for tasks in (2, 3, 8):
        fx.task_count = tasks
        assert fx.task_count == tasks
        np.testing.assert_array_equal(fx(card), one)
    np.testing.assert_array_equal(
        one, fxhost_render(tmp_path, "drain", {"P1": 30.0, "P4": (0.4, 0.55)}, tasks=4))


def test_video_frames_of_the_test_card_clip(tmp_path):
    # Phases move the marker, so consecutive frames differ and each is
    # rendered from its own source, not from a cached one.
    fx = kzrfx.Effect("square", 64, 48)
    a, b = kzrfx.test_card(64, 48, 0.0), kzrfx.test_card(64, 48, 0.5)
    assert (a != b).any()
    ra, rb = fx(a), fx(b)
    assert (ra != rb).any()
    np.testing.assert_array_equal(fx(a), ra)


# ---- Parameters ---------------------------------------------------------------------

def test_effects_lists_both_languages_with_the_same_tables():
    en, de = kzrfx.effects("en"), kzrfx.effects("DEU")
    assert [e.name for e in en] == [e.name for e in de]
    assert len(en) == 10
    assert {"DEU", "ENU"} <= set(kzrfx.languages())
    hstretch_en, hstretch_de = info_of("hstretch"), de[[e.name for e in de].index("hstretch")]
    assert hstretch_en.title == "Horizontal Stretch" and hstretch_de.title == "Horizontale Dehnung"
    for e, g in zip(en, de):
        assert [(p.key, p.attr, p.type, p.min, p.max, p.default) for p in e.params] == \
               [(p.key, p.attr, p.type, p.min, p.max, p.default) for p in g.params]
        for p in e.params:
            assert p.attr.isidentifier()
            if p.type == "number":
                assert p.min <= p.default <= p.max


@pytest.mark.parametrize("name", NAMES)
def test_new_effects_carry_the_listed_defaults_and_answer_to_every_name(name):
    info = info_of(name)
    de = {e.name: e for e in kzrfx.effects("de")}[name]
    fx = kzrfx.Effect(name, 32, 24)
    assert fx.params == {p.attr: p.default for p in info.params}
    for p, g in zip(info.params, de.params):
        for alias in (p.attr, p.key, p.key.lower(), p.name, g.name):
            assert fx.get(alias) == p.default
        assert getattr(fx, p.attr) == p.default


def test_set_get_and_attributes_round_trip():
    fx = kzrfx.Effect("tristretch", 40, 30, degree=0.05)
    assert fx.degree == 0.05
    fx.set(size=0.3, inverse=True, position=(0.25, 0.75))
    assert fx.params == {"degree": 0.05, "size": 0.3, "inverse": True, "position": (0.25, 0.75)}
    fx.degree = np.float32(0.07)
    fx.inverse = 0
    fx.position = np.array([0.5, 0.6])
    assert (fx.degree, fx.inverse, fx.position) == (0.07, False, (0.5, 0.6))
    fx.set(Stärke=0.09, P2=1)  # German display name, key, an int for a number
    assert (fx.degree, fx.size) == (0.09, 1.0)
    assert "degree" in dir(fx)
    assert "degree=0.09" in repr(fx)
    fx.note = "anything"  # other attributes stay ordinary
    assert fx.note == "anything"


def test_parameters_changed_between_frames_take_effect(card):
    fx = kzrfx.Effect("vstretch", W, H)
    first = fx(card)
    fx.degree = 0.1
    second = fx(card)
    assert (second != first).any()
    np.testing.assert_array_equal(second, kzrfx.Effect("vstretch", W, H, degree=0.1)(card))
    fx.degree = info_of("vstretch").params[0].default
    np.testing.assert_array_equal(fx(card), first)


def test_a_refused_set_changes_nothing():
    fx = kzrfx.Effect("hsqueeze", 40, 30)
    before = fx.params
    with pytest.raises(ValueError):
        fx.set(degree=0.05, size=0.9)  # size above 0.5
    with pytest.raises(TypeError):
        fx.set(degree=0.05, position="middle")
    assert fx.params == before


# ---- Frames: strides, out=, BGR -----------------------------------------------------

def strided_views(card):
    h, w, _ = card.shape
    big = np.zeros((h * 2, w * 3, 6), np.uint8)
    big[::2, 1::3, 1:5] = card
    unaligned = np.frombuffer(b"\0" + card.tobytes(), np.uint8, offset=1).reshape(card.shape)
    flipped = np.ascontiguousarray(card[::-1, ::-1])
    planar = np.ascontiguousarray(card.transpose(2, 0, 1)).transpose(1, 2, 0)
    return {
        "every other row and third column": big[::2, 1::3, 1:5],
        "Fortran order": np.asfortranarray(card),
        "channels planar": planar,
        "negative strides": flipped[::-1, ::-1],
        "unaligned": unaligned,
        "read-only": np.lib.stride_tricks.as_strided(card, writeable=False),
    }


@pytest.mark.parametrize("view", list(strided_views(np.zeros((2, 2, 4), np.uint8))))
def test_frames_of_any_strides_give_the_contiguous_result(view, card):
    fx = kzrfx.Effect("doublefisheye", W, H, degree=0.08)
    want = fx(card)
    frame = strided_views(card)[view]
    np.testing.assert_array_equal(frame, card)
    got = fx(frame)
    assert got.flags.c_contiguous and got.shape == (H, W, 4) and got.dtype == np.uint8
    np.testing.assert_array_equal(got, want)


def test_out_receives_the_frame_whatever_its_layout(card):
    fx = kzrfx.Effect("sshape", W, H, degree=0.1)
    want = fx(card)
    out = np.zeros_like(card)
    assert fx(card, out=out) is out
    np.testing.assert_array_equal(out, want)
    for view in strided_views(card).values():
        if not view.flags.writeable:
            continue
        target = view.copy(order="K") if view.base is None else view
        target[...] = 0
        assert fx(card, out=target) is target
        np.testing.assert_array_equal(target, want)


def test_in_place_rendering_reads_the_whole_source_first(card):
    fx = kzrfx.Effect("drain", W, H, degree=40)
    want = fx(card)
    frame = card.copy()
    assert fx(frame, out=frame) is frame
    np.testing.assert_array_equal(frame, want)
    # Overlapping by a row: still the source as it was.
    buf = np.concatenate([card, np.zeros((1, W, 4), np.uint8)])
    fx(buf[:H], out=buf[1:])
    np.testing.assert_array_equal(buf[1:], want)


def test_apply_bgr_adds_and_removes_an_opaque_alpha(card):
    fx = kzrfx.Effect("laser", W, H, percentage=0.3)
    bgr = np.ascontiguousarray(card[:, :, 2::-1])
    rgba = np.dstack([bgr, np.full((H, W), 255, np.uint8)])
    want = fx(rgba)[:, :, :3]
    got = fx.apply_bgr(bgr)
    assert got.shape == (H, W, 3)
    np.testing.assert_array_equal(got, want)
    out = np.zeros((H, W * 2, 3), np.uint8)[:, ::2]
    assert fx.apply_bgr(card[:, :, 2::-1], out=out) is out
    np.testing.assert_array_equal(out, want)
    with pytest.raises(TypeError, match="x 3 uint8"):
        fx.apply_bgr(card)


# ---- Threads ---------------------------------------------------------------------------

def test_instances_render_concurrently_on_threads(card):
    names = NAMES * 2
    effects = [kzrfx.Effect(n, W, H) for n in names]
    want = [fx(card) for fx in effects]
    got = [None] * len(effects)
    start = threading.Barrier(len(effects))

    def work(i):
        start.wait()
        for _ in range(3):
            got[i] = effects[i](card)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(effects))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for n, g, w in zip(names, got, want):
        np.testing.assert_array_equal(g, w, err_msg=n)


def test_one_instance_shared_by_threads_renders_whole_frames(card):
    # Frames and parameter changes of one instance take turns: every result
    # is one of the two parameter states, never a mixture.
    fx = kzrfx.Effect("hstretch", W, H)
    states = {0.02: fx(card)}
    fx.degree = 0.09
    states[0.09] = fx(card)
    bad = []

    def render():
        for _ in range(20):
            r = fx(card)
            if not any(np.array_equal(r, s) for s in states.values()):
                bad.append(r)

    def flip():
        for i in range(40):
            fx.degree = 0.02 if i % 2 else 0.09

    threads = [threading.Thread(target=render) for _ in range(3)] + [threading.Thread(target=flip)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not bad


# ---- Bad input --------------------------------------------------------------------------

@pytest.mark.parametrize("call, error, text", [
    (lambda: kzrfx.Effect("swirl", 10, 10), ValueError, "valid effects: hmirror"),
    (lambda: kzrfx.Effect("drain", 0, 10), ValueError, "1 to 16384"),
    (lambda: kzrfx.Effect("drain", 10, 1 << 20), ValueError, "1 to 16384"),
    (lambda: kzrfx.Effect("drain", 10, 10, twist=1), ValueError, r"valid parameters: degree \(P1\)"),
    (lambda: kzrfx.Effect("drain", 10, 10, degree=60), ValueError, "between 1 and 50; got 60"),
    (lambda: kzrfx.Effect("drain", 10, 10, degree=math.nan), ValueError, "between 1 and 50"),
    (lambda: kzrfx.Effect("drain", 10, 10, degree=math.inf), ValueError, "between 1 and 50"),
    (lambda: kzrfx.Effect("drain", 10, 10, degree=1e300), ValueError, "between 1 and 50"),
    (lambda: kzrfx.Effect("drain", 10, 10, position=(0.5, 1.5)), ValueError,
     r"between \(0, 0\) and \(1, 1\)"),
    (lambda: kzrfx.Effect("drain", 10, 10, position=(0.5,)), TypeError, r"use \(x, y\)"),
    (lambda: kzrfx.Effect("drain", 10, 10, position=0.5), TypeError, r"use \(x, y\)"),
    (lambda: kzrfx.Effect("drain", 10, 10, degree="5"), TypeError, "expects a number"),
    (lambda: kzrfx.Effect("drain", 10, 10, degree=True), TypeError, "expects a number"),
    (lambda: kzrfx.Effect("drain", 10, 10, degree=1j), TypeError, ""),
    (lambda: kzrfx.Effect("drain", 10, 10, inverse=2), ValueError, "True/False or 1/0"),
    (lambda: kzrfx.Effect("drain", 10, 10, inverse="yes"), TypeError, "True/False or 1/0"),
    (lambda: kzrfx.effects("FRA"), ValueError, "languages at hand: DEU, ENU"),
])
def test_bad_arguments_raise_with_what_is_accepted(call, error, text):
    with pytest.raises(error, match=text):
        call()


@pytest.mark.parametrize("frame, text", [
    (np.zeros((24, 32, 4), np.int16), "dtype int16"),
    (np.zeros((24, 32, 4), np.float32), "dtype float32"),
    (np.zeros((24, 32, 3), np.uint8), "got shape 24 x 32 x 3"),
    (np.zeros((32, 24, 4), np.uint8), "got shape 32 x 24 x 4"),
    (np.zeros((24, 32), np.uint8), "got shape 24 x 32"),
    (np.zeros((24, 32, 4, 1), np.uint8), "got shape 24 x 32 x 4 x 1"),
    (np.zeros((), np.uint8), r"got shape \(\)"),
    ([[[0] * 4] * 32] * 24, "got list"),
    (b"\0" * (24 * 32 * 4), "got bytes"),
    (None, "got NoneType"),
])
def test_bad_frames_raise_type_error_naming_the_shape(frame, text):
    fx = kzrfx.Effect("square", 32, 24)
    with pytest.raises(TypeError, match=text) as e:
        fx(frame)
    assert "24 x 32 x 4 uint8" in str(e.value)
    with pytest.raises(TypeError):
        fx(np.zeros((24, 32, 4), np.uint8), out=frame if frame is not None else 0)


def test_read_only_out_and_context_settings_are_refused():
    fx = kzrfx.Effect("square", 32, 24)
    frame = np.zeros((24, 32, 4), np.uint8)
    ro = np.zeros_like(frame)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        fx(frame, out=ro)
    for attr, value, text in [("cpu_level", -1, "between 0 and"), ("cpu_level", 99, "between 0 and"),
                              ("task_count", 0, "between 1 and 256"),
                              ("task_count", 257, "between 1 and 256")]:
        with pytest.raises(ValueError, match=text):
            setattr(fx, attr, value)
    with pytest.raises(TypeError):
        fx.task_count = "4"
    with pytest.raises(AttributeError):
        fx.width = 64
    with pytest.raises(AttributeError, match="parameters: degree, position"):
        fx.twist


def test_fuzzed_parameters_and_frames_never_crash():
    rng = np.random.default_rng(7)
    values = [None, 0, 1, -1, 2, 0.5, -0.0, 1e-45, 3.4e38, 1e39, math.nan, -math.inf, True, "",
              "0.5", b"1", (), (0.5,), (0.5, 0.5), (0.5, 0.5, 0.5), [0.3, 0.4], ("a", "b"),
              np.float64(0.05), np.int8(1), np.bool_(True), object(), {}, 1j]
    for name in NAMES:
        fx = kzrfx.Effect(name, 17, 9)
        attrs = list(fx.params) + ["P9", "", "Ω"]
        for _ in range(60):
            attr, value = attrs[rng.integers(len(attrs))], values[rng.integers(len(values))]
            try:
                fx.set(**{attr: value})
            except (ValueError, TypeError):
                pass
        frame = rng.integers(0, 256, (9, 17, 4), dtype=np.uint8)
        assert fx(frame).shape == (9, 17, 4)


def test_module_path_can_be_chosen_and_a_missing_module_is_reported(tmp_path):
    code = "import kzrfx; kzrfx.effects()"
    env = dict(os.environ, KZRFX_MODULE=str(tmp_path / "missing.so"))
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert r.returncode != 0 and "the effect module is not at" in r.stderr
    not_a_module = tmp_path / "KZR_PlugIn_6.so"
    not_a_module.write_bytes(b"not a library")
    env["KZRFX_MODULE"] = str(not_a_module)
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert r.returncode != 0 and "ValueError: cannot load module" in r.stderr
    env["KZRFX_MODULE"] = kzrfx.module_path()
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr


# ---- The example ---------------------------------------------------------------------------

def test_warp_video_example(tmp_path):
    src, dst = tmp_path / "in.avi", tmp_path / "out.avi"
    writer = cv2.VideoWriter(str(src), cv2.VideoWriter_fourcc(*"MJPG"), 10, (96, 64))
    for i in range(12):
        writer.write(np.ascontiguousarray(kzrfx.test_card(96, 64, i / 12)[:, :, 2::-1]))
    writer.release()
    script = os.path.join(SOURCE_DIR, "examples", "warp_video.py")
    r = subprocess.run([sys.executable, script, str(src), str(dst), "--effect", "drain",
                        "--param", "degree", "1:40"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    a, b = cv2.VideoCapture(str(src)), cv2.VideoCapture(str(dst))
    frames, last_in, last_out = 0, None, None
    while True:
        ok_a, fa = a.read()
        ok_b, fb = b.read()
        assert ok_a == ok_b
        if not ok_a:
            break
        assert fb.shape == fa.shape
        frames, last_in, last_out = frames + 1, fa, fb
    assert frames == 12
    # The last frame is swirled at degree 40: far more than coding noise.
    assert np.abs(last_out.astype(int) - last_in).mean() > 10
