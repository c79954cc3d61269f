"""kzrfx's handling of parameters, threads, strides, out= and bad input (its
pictures against fxhost render: test_fxhost.py)."""

import math
import os
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import cv2
import numpy as np
import pytest

import kzrfx

SOURCE_DIR = os.environ.get("KZR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
W, H = 322, 181  # odd height, width not a multiple of 8: the vector paths' edges
INFO = {e.name: e for e in kzrfx.effects("en")}
NAMES = list(INFO)


def off_default(info):
    """Values away from the defaults: three quarters into every range, the
    switches on, positions off centre."""
    def at(lo, hi, f):
        return float(np.float32(lo + f * (hi - lo)))

    return {p.key: True if p.type == "switch" else at(p.min, p.max, 0.75) if p.type == "number"
            else tuple(map(at, p.min, p.max, (0.3, 0.65))) for p in info.params}


@pytest.fixture(scope="module")
def card():
    return kzrfx.test_card(W, H)


@pytest.mark.parametrize("name", NAMES)
def test_every_parameter_change_counts_on_its_own(name, card):
    # Values off the defaults, then back to the defaults one parameter per
    # frame: each frame equals a fresh instance's, no stale maps either way.
    # (Every effect against fxhost render: test_fxhost.py.)
    fx = kzrfx.Effect(name, W, H)
    first = fx(card)
    values = off_default(INFO[name])
    fx.set(**values)
    want = kzrfx.Effect(name, W, H, **values)(card)
    assert (want != card).any() and (want != first).any(), "the values changed nothing"
    np.testing.assert_array_equal(fx(card), want)
    for p in INFO[name].params:
        fx.set(**{p.key: p.default})
        values[p.key] = p.default
        fresh = kzrfx.Effect(name, W, H, **values)(card)
        np.testing.assert_array_equal(fx(card), fresh, err_msg=p.key)
    np.testing.assert_array_equal(fx(card), first)


def test_effects_in_both_languages_and_new_effects_with_their_defaults_and_names():
    en, de = kzrfx.effects("en"), kzrfx.effects("DEU")
    assert {"DEU", "ENU"} <= set(kzrfx.languages()) and kzrfx.effects("de") == de
    assert len(en) == 10 and [e.name for e in de] == NAMES
    assert (INFO["hstretch"].title, de[NAMES.index("hstretch")].title) == \
        ("Horizontal Stretch", "Horizontale Dehnung")
    for e, g in zip(en, de):
        assert [(p.key, p.attr, p.type, p.min, p.max, p.default) for p in e.params] == \
               [(p.key, p.attr, p.type, p.min, p.max, p.default) for p in g.params], e.name
        fx = kzrfx.Effect(e.name, 32, 24)
        assert fx.params == {p.attr: p.default for p in e.params}, e.name
        for p, q in zip(e.params, g.params):
            assert p.attr.isidentifier() and getattr(fx, p.attr) == p.default, (e.name, p)
            assert p.type != "number" or p.min <= p.default <= p.max, (e.name, p)
            for alias in (p.attr, p.key, p.key.lower(), p.name, q.name):
                assert fx.get(alias) == p.default, (e.name, alias)


def test_set_get_and_attributes_round_trip():
    fx = kzrfx.Effect("tristretch", 40, 30, degree=0.05)
    fx.cpu_level, fx.task_count = 3, 5
    assert (fx.cpu_level, fx.task_count) == (3, 5)
    assert fx.degree == 0.05
    fx.set(size=0.3, inverse=True, position=(0.25, 0.75))
    assert fx.params == {"degree": 0.05, "size": 0.3, "inverse": True, "position": (0.25, 0.75)}
    fx.degree, fx.inverse, fx.position = np.float32(0.07), 0, np.array([0.5, 0.6])
    assert (fx.degree, fx.inverse, fx.position) == (0.07, False, (0.5, 0.6))
    fx.set(Stärke=0.09, P2=1)  # German display name, key, an int for a number
    assert (fx.degree, fx.size) == (0.09, 1.0)
    assert "degree" in dir(fx) and "degree=0.09" in repr(fx)
    fx.note = "anything"  # other attributes stay ordinary
    assert fx.note == "anything"
    # A refused set changes nothing, not even the valid values before the bad one.
    before = fx.params
    with pytest.raises(ValueError):
        fx.set(degree=0.05, size=1.5)  # size above 1
    with pytest.raises(TypeError):
        fx.set(degree=0.05, position="middle")
    assert fx.params == before


def test_frames_and_out_of_any_layout_give_the_contiguous_result(card):
    fx = kzrfx.Effect("doublefisheye", W, H, degree=0.08)
    want = fx(card)
    big = np.zeros((H * 2, W * 3, 6), np.uint8)
    big[::2, 1::3, 1:5] = card
    views = {
        "every other row and third column": big[::2, 1::3, 1:5],
        "Fortran order": np.asfortranarray(card),
        "channels planar": np.ascontiguousarray(card.transpose(2, 0, 1)).transpose(1, 2, 0),
        "negative strides": np.ascontiguousarray(card[::-1, ::-1])[::-1, ::-1],
        "unaligned": np.frombuffer(b"\0" + card.tobytes(), np.uint8, offset=1).reshape(card.shape),
        "read-only": np.lib.stride_tricks.as_strided(card.copy(), writeable=False),
        "contiguous": card.copy(),
    }
    for view, frame in views.items():
        np.testing.assert_array_equal(frame, card, err_msg=view)
        got = fx(frame)
        np.testing.assert_array_equal(got, want, err_msg=view)
        assert got.flags.c_contiguous and got.dtype == np.uint8, view
        # The same layouts as out=, where read-only ones are refused.
        if not frame.flags.writeable:
            with pytest.raises(ValueError, match="read-only"):
                fx(card, out=frame)
            continue
        target = frame.copy(order="K") if frame.base is None else frame
        target[...] = 0
        assert fx(card, out=target) is target, view
        np.testing.assert_array_equal(target, want, err_msg=view)


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
    want = fx(np.dstack([bgr, np.full((H, W), 255, np.uint8)]))[:, :, :3]
    np.testing.assert_array_equal(fx.apply_bgr(bgr), want)
    out = np.zeros((H, W * 2, 3), np.uint8)[:, ::2]
    assert fx.apply_bgr(card[:, :, 2::-1], out=out) is out
    np.testing.assert_array_equal(out, want)
    with pytest.raises(TypeError, match="x 3 uint8"):
        fx.apply_bgr(card)


def test_instances_render_concurrently_on_threads(card):
    effects = [kzrfx.Effect(n, W, H) for n in NAMES * 2]
    want = [fx(card) for fx in effects]
    start = threading.Barrier(len(effects))

    def work(fx):
        start.wait()
        return [fx(card) for _ in range(3)]

    with ThreadPoolExecutor(len(effects)) as pool:
        for fx, got, w in zip(effects, pool.map(work, effects), want):
            for g in got:
                np.testing.assert_array_equal(g, w, err_msg=fx.name)


def test_one_instance_shared_by_threads_renders_whole_frames(card):
    # Frames and parameter changes of one instance take turns: every result
    # is one of the two parameter states, never a mixture.
    fx = kzrfx.Effect("hstretch", W, H)
    states = [fx(card)]
    fx.degree = 0.09
    states.append(fx(card))

    def flip():
        for i in range(40):
            fx.degree = 0.02 if i % 2 else 0.09

    with ThreadPoolExecutor(4) as pool:
        jobs = [pool.submit(lambda: [fx(card) for _ in range(20)]) for _ in range(3)]
        jobs.append(pool.submit(flip))
    for r in (r for job in jobs for r in job.result() or []):
        assert any(np.array_equal(r, s) for s in states)


def drain(**params):
    return lambda: kzrfx.Effect("drain", 10, 10, **params)


def square_with(attr, value):
    return lambda: setattr(kzrfx.Effect("square", 32, 24), attr, value)


@pytest.mark.parametrize("calls, error, text", [
    ([lambda: kzrfx.Effect("swirl", 10, 10)], ValueError, "valid effects: hmirror"),
    ([lambda: kzrfx.Effect("drain", 0, 10), lambda: kzrfx.Effect("drain", 10, 1 << 20)],
     ValueError, "1 to 16384"),
    ([drain(twist=1)], ValueError, r"valid parameters: degree \(P1\)"),
    ([drain(degree=60)], ValueError, "between 1 and 50; got 60"),
    ([drain(degree=v) for v in (math.nan, math.inf, 1e300)], ValueError, "between 1 and 50"),
    ([drain(position=(0.5, 1.5))], ValueError, r"between \(0, 0\) and \(1, 1\)"),
    ([drain(position=(0.5,)), drain(position=0.5)], TypeError, r"use \(x, y\)"),
    ([drain(degree="5"), drain(degree=True)], TypeError, "expects a number"),
    ([drain(degree=1j)], TypeError, ""),
    ([drain(inverse=2)], ValueError, "True/False or 1/0"),
    ([drain(inverse="yes")], TypeError, "True/False or 1/0"),
    ([lambda: kzrfx.effects("FRA")], ValueError, "languages at hand: DEU, ENU"),
    ([square_with("cpu_level", -1), square_with("cpu_level", 99)], ValueError, "between 0 and"),
    ([square_with("task_count", 0), square_with("task_count", 257)], ValueError,
     "between 1 and 256"),
    ([square_with("task_count", "4")], TypeError, ""),
    ([square_with("width", 64)], AttributeError, ""),
    ([lambda: kzrfx.Effect("square", 32, 24).twist], AttributeError,
     "parameters: degree, position"),
])
def test_bad_arguments_raise_with_what_is_accepted(calls, error, text):
    for call in calls:
        with pytest.raises(error, match=text):
            call()


@pytest.mark.parametrize("frame, text", [
    (np.zeros((24, 32, 4), np.int16), "dtype int16"),
    (np.zeros((24, 32, 4), np.float32), "dtype float32"),
    *[(np.zeros(shape, np.uint8), "got shape " + " x ".join(map(str, shape)))
      for shape in [(24, 32, 3), (32, 24, 4), (24, 32), (24, 32, 4, 1)]],
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


def test_fuzzed_parameters_and_frames_never_crash():
    rng = np.random.default_rng(7)
    values = [None, 0, 1, -1, 2, 0.5, -0.0, 1e-45, 3.4e38, 1e39, math.nan, -math.inf, True, "",
              "0.5", b"1", (), (0.5,), (0.5, 0.5), (0.5, 0.5, 0.5), [0.3, 0.4], ("a", "b"),
              np.float64(0.05), np.int8(1), np.bool_(True), object(), {}, 1j]
    for name in NAMES:
        fx = kzrfx.Effect(name, 17, 9)
        attrs = list(fx.params) + ["P9", "", "Ω"]
        for _ in range(60):
            try:
                fx.set(**{attrs[rng.integers(len(attrs))]: values[rng.integers(len(values))]})
            except (ValueError, TypeError):
                pass
        assert fx(rng.integers(0, 256, (9, 17, 4), dtype=np.uint8)).shape == (9, 17, 4)


def test_module_path_can_be_chosen_and_a_missing_module_is_reported(tmp_path):
    not_a_module = tmp_path / "KZR_PlugIn_6.so"
    not_a_module.write_bytes(b"not a library")
    for path, error in [(tmp_path / "missing.so", "the effect module is not at"),
                        (not_a_module, "ValueError: cannot load module"),
                        (kzrfx.module_path(), None)]:
        r = subprocess.run([sys.executable, "-c", "import kzrfx; kzrfx.effects()"],
                           env=dict(os.environ, KZRFX_MODULE=str(path)),
                           capture_output=True, text=True)
        assert (r.returncode != 0 and error in r.stderr) if error else r.returncode == 0, r.stderr


def read_video(path):
    capture, frames = cv2.VideoCapture(str(path)), []
    while (frame := capture.read()[1]) is not None:
        frames.append(frame)
    return frames


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
    frames_in, frames_out = read_video(src), read_video(dst)
    assert len(frames_in) == len(frames_out) == 12
    assert all(a.shape == b.shape for a, b in zip(frames_in, frames_out))
    # The last frame is swirled at degree 40: far more than coding noise.
    assert np.abs(frames_out[-1].astype(int) - frames_in[-1]).mean() > 10
