#!/usr/bin/python3
"""The Kdenlive descriptions and Shotcut filters that kzr_editorgen writes,
checked against the frei0r plug-ins themselves and rendered through melt.

  test_editor_files.py EDITORS_DIR PLUGIN_DIR FXHOST [unittest arguments]

EDITORS_DIR holds kdenlive/, kdenlive-de/ and shotcut/; PLUGIN_DIR the
kzr_*.so plug-ins with the module beside them.  The plug-ins are asked
through the frei0r interface (dlopen, f0r_get_param_info,
f0r_get_param_value) what they take; melt renders projects written the way
the editors write them, and every frame must equal what fxhost renders with
the parameter values the project holds at that frame.
"""
import ctypes
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

EDITORS = PLUGINS = FXHOST = None
F0R_PARAM_BOOL, F0R_PARAM_DOUBLE = 0, 1
SPAN = re.compile(r"\(0 to 1 spans (\S+) to (\S+)\)$")


def f32(x):
    """x rounded to the nearest float, as a C++ static_cast<float> does."""
    return struct.unpack("f", struct.pack("f", x))[0]


class PluginInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("author", ctypes.c_char_p),
                ("plugin_type", ctypes.c_int), ("color_model", ctypes.c_int),
                ("frei0r_version", ctypes.c_int), ("major_version", ctypes.c_int),
                ("minor_version", ctypes.c_int), ("num_params", ctypes.c_int),
                ("explanation", ctypes.c_char_p)]


class ParamInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int),
                ("explanation", ctypes.c_char_p)]


class Param:
    def __init__(self, index, name, kind, explanation, default):
        self.index, self.name, self.kind, self.default = index, name, kind, default
        self.lo = self.hi = None
        m = SPAN.search(explanation)
        if m:  # the range the frei0r value 0..1 spans, as floats
            self.lo, self.hi = f32(float(m.group(1))), f32(float(m.group(2)))

    def from_unit(self, u):
        """The parameter value the adapter stores for the frei0r value u."""
        u = min(max(u, 0.0), 1.0)
        return min(max(f32(self.lo + u * (self.hi - self.lo)), self.lo), self.hi)


_plugin_cache = {}


def plugin(name):
    """What the frei0r plug-in `name` reports: {param name: Param}."""
    if name in _plugin_cache:
        return _plugin_cache[name]
    path = os.path.join(PLUGINS, name + ".so")
    if not os.path.exists(path):
        return None
    lib = ctypes.CDLL(path)
    lib.f0r_construct.restype = ctypes.c_void_p
    lib.f0r_construct.argtypes = [ctypes.c_uint, ctypes.c_uint]
    lib.f0r_get_param_value.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
    lib.f0r_destruct.argtypes = [ctypes.c_void_p]
    if lib.f0r_init() != 1:
        raise RuntimeError(f"{path}: f0r_init failed")
    info = PluginInfo()
    lib.f0r_get_plugin_info(ctypes.byref(info))
    instance = lib.f0r_construct(64, 48)
    params = {}
    for i in range(info.num_params):
        p = ParamInfo()
        lib.f0r_get_param_info(ctypes.byref(p), i)
        value = ctypes.c_double(-1)
        lib.f0r_get_param_value(instance, ctypes.byref(value), i)
        params[p.name.decode()] = Param(i, p.name.decode(), p.type, p.explanation.decode(),
                                        value.value)
    lib.f0r_destruct(instance)
    lib.f0r_deinit()
    _plugin_cache[name] = params
    return params


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=120, **kw)


class KdenliveDescriptions(unittest.TestCase):
    def descriptions(self):
        files = sorted(glob.glob(os.path.join(EDITORS, "kdenlive", "kzr_*.xml")) +
                       glob.glob(os.path.join(EDITORS, "kdenlive-de", "kzr_*.xml")))
        self.assertEqual(len(files), 20, "ten effects in English and in German")
        return files

    def test_parameters_are_the_plugins_with_their_ranges_and_defaults(self):
        for path in self.descriptions():
            with self.subTest(file=os.path.relpath(path, EDITORS)):
                root = ET.parse(path).getroot()  # a real XML parser: malformed files fail
                stem = os.path.basename(path)[:-4]
                self.assertEqual(root.tag, "effect")
                self.assertEqual(root.get("tag"), "frei0r." + stem)
                self.assertEqual(root.get("id"), "frei0r." + stem)
                self.assertTrue(root.findtext("name").strip())
                self.assertTrue(root.findtext("description").strip())
                params = plugin(stem)
                self.assertIsNotNone(params, f"no plug-in {stem}.so in {PLUGINS}")
                described = root.findall("parameter")
                self.assertEqual([p.get("name") for p in described], list(params),
                                 "every frei0r parameter, in the plug-in's order")
                for el in described:
                    p = params[el.get("name")]
                    self.assertTrue(el.findtext("name").strip())
                    self.assertEqual(float(el.get("default")), p.default,
                                     f"{p.name}: default differs from the plug-in's")
                    if p.kind == F0R_PARAM_BOOL:
                        self.assertEqual(el.get("type"), "bool")
                        continue
                    self.assertEqual(p.kind, F0R_PARAM_DOUBLE)
                    self.assertEqual(el.get("type"), "animated", "numbers are keyframable")
                    factor = float(el.get("factor"))
                    self.assertEqual(float(el.get("min")), 0.0)
                    self.assertIsNone(el.get("offset"), "Kdenlive 22.12 ignores offsets")
                    if p.lo == 0:
                        # The slider shows the value itself: u * factor.
                        self.assertEqual(factor, p.hi)
                        self.assertEqual(f32(float(el.get("max"))), p.hi)
                        shown = lambda u: f32(u * factor)
                        decimals = int(el.get("decimals"))
                        default = p.from_unit(p.default)
                        self.assertEqual(f32(round(default, decimals)), default,
                                         f"{p.name}: the default needs more than "
                                         f"{decimals} decimals")
                    else:
                        # Per cent of the range, the ends named in the comment.
                        self.assertEqual((factor, float(el.get("max"))), (100.0, 100.0))
                        self.assertEqual(el.get("suffix"), "%")
                        ends = re.search(r"0 % (?:is|entspricht) (\S+), "
                                         r"100 % (?:is|entspricht) (\S+)\.$",
                                         el.findtext("comment"))
                        self.assertIsNotNone(ends, el.findtext("comment"))
                        self.assertEqual((f32(float(ends.group(1))), f32(float(ends.group(2)))),
                                         (p.lo, p.hi))
                        shown = lambda u: p.from_unit(u * factor / 100)
                    # What Kdenlive stores for a shown value is the frei0r
                    # value the plug-in turns into that parameter value.
                    for u in (0.0, 0.125, 0.3, 0.5, 0.7, 1.0, p.default):
                        self.assertEqual(shown(u), p.from_unit(u), f"{p.name} at {u}")

    def test_english_and_german_texts(self):
        en = ET.parse(os.path.join(EDITORS, "kdenlive", "kzr_drain.xml")).getroot()
        de = ET.parse(os.path.join(EDITORS, "kdenlive-de", "kzr_drain.xml")).getroot()
        self.assertEqual(en.findtext("name"), "Drain")
        self.assertEqual(de.findtext("name"), "Abfluss")
        self.assertNotEqual(en.findtext("description"), de.findtext("description"))
        self.assertEqual([p.get("name") for p in en.findall("parameter")],
                         [p.get("name") for p in de.findall("parameter")])

    def test_category_lists_every_effect(self):
        for lang in ("kdenlive", "kdenlive-de"):
            group = ET.parse(os.path.join(EDITORS, lang, "category.xml")).getroot()
            listed = group.get("list").split(",")
            stems = sorted(os.path.basename(p)[:-4]
                           for p in glob.glob(os.path.join(EDITORS, lang, "kzr_*.xml")))
            self.assertEqual(sorted(listed), ["frei0r." + s for s in stems])
            self.assertTrue(group.findtext("text").strip())


class ShotcutFilters(unittest.TestCase):
    def filters(self):
        folders = sorted(glob.glob(os.path.join(EDITORS, "shotcut", "kzr_*")))
        self.assertEqual(len(folders), 10)
        return folders

    def test_properties_and_defaults_are_the_plugins(self):
        for folder in self.filters():
            stem = os.path.basename(folder)
            with self.subTest(filter=stem):
                params = plugin(stem)
                self.assertIsNotNone(params)
                with open(os.path.join(folder, "meta.qml"), encoding="utf-8") as f:
                    meta = f.read()
                self.assertIn(f"mlt_service: 'frei0r.{stem}'", meta)
                animated = re.findall(r"property: '([^']+)'", meta)
                numbers = [n for n, p in params.items() if p.kind == F0R_PARAM_DOUBLE]
                self.assertEqual(animated, numbers, "every number keyframable")
                with open(os.path.join(folder, "ui.qml"), encoding="utf-8") as f:
                    ui = f.read()
                initial = dict(re.findall(r"filter\.set\('([^']+)', ([-0-9.e]+)\);", ui))
                self.assertEqual(sorted(initial), sorted(params), "a new filter sets them all")
                for name, p in params.items():
                    self.assertEqual(float(initial[name]), p.default, name)
                    if p.kind == F0R_PARAM_DOUBLE:
                        # The slider shows the parameter's own range.
                        m = re.search(r"id: %sSlider\s+minimumValue: (\S+)\s+maximumValue: (\S+)"
                                      % re.escape(name[0].lower() + name[1:]), ui)
                        self.assertIsNotNone(m, f"no slider for {name}")
                        self.assertEqual((f32(float(m.group(1))), f32(float(m.group(2)))),
                                         (p.lo, p.hi))
                has_point = "X" in params and "Y" in params
                self.assertEqual(os.path.exists(os.path.join(folder, "vui.qml")), has_point,
                                 "an on-video point exactly for effects with a position")
                self.assertEqual("vui: 'vui.qml'" in meta, has_point)

    @unittest.skipUnless(shutil.which("qmllint"), "qmllint is not installed")
    def test_qml_parses(self):
        files = sorted(glob.glob(os.path.join(EDITORS, "shotcut", "kzr_*", "*.qml")))
        result = subprocess.run(["qmllint"] + files, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


# ---- melt renders projects the way the editors save them ---------------------

PROFILE = ('<profile description="320x240 25 fps" width="320" height="240" progressive="1" '
           'sample_aspect_num="1" sample_aspect_den="1" display_aspect_num="4" '
           'display_aspect_den="3" frame_rate_num="25" frame_rate_den="1" colorspace="709"/>')
FRAMES = 10


def kdenlive_project(source, stem, properties):
    """A Kdenlive-style project: the effect on the clip in the timeline's
    playlist, with Kdenlive's own properties beside the filter's."""
    props = "".join(f'<property name="{k}">{v}</property>' for k, v in properties.items())
    return f"""<?xml version='1.0' encoding='utf-8'?>
<mlt LC_NUMERIC="C" version="7.12.0" producer="main_bin" root="">
 {PROFILE}
 <producer id="producer0" in="0" out="{FRAMES - 1}">
  <property name="length">{FRAMES}</property>
  <property name="resource">{source}</property>
  <property name="kdenlive:id">2</property>
 </producer>
 <playlist id="playlist0">
  <entry producer="producer0" in="0" out="{FRAMES - 1}">
   <filter id="filter0">
    <property name="mlt_service">frei0r.{stem}</property>
    <property name="kdenlive_id">frei0r.{stem}</property>
    <property name="kdenlive:collapsed">0</property>
    {props}
   </filter>
  </entry>
 </playlist>
 <tractor id="tractor0" in="0" out="{FRAMES - 1}">
  <track producer="playlist0"/>
 </tractor>
</mlt>
"""


def shotcut_project(source, stem, properties):
    """A Shotcut-style project: the filter on the playlist entry, keyframes
    as clock times."""
    props = "".join(f'<property name="{k}">{v}</property>' for k, v in properties.items())
    return f"""<?xml version="1.0" standalone="no"?>
<mlt LC_NUMERIC="C" version="7.12.0" title="Shotcut version 22.12.21" producer="main_bin">
 {PROFILE}
 <playlist id="main_bin">
  <property name="xml_retain">1</property>
 </playlist>
 <producer id="producer0" in="00:00:00.000" out="00:00:00.360">
  <property name="length">00:00:00.400</property>
  <property name="resource">{source}</property>
  <property name="shotcut:caption">source.png</property>
 </producer>
 <playlist id="playlist0">
  <property name="shotcut:video">1</property>
  <entry producer="producer0" in="00:00:00.000" out="00:00:00.360">
   <filter id="filter0" out="00:00:00.360">
    <property name="mlt_service">frei0r.{stem}</property>
    <property name="shotcut:filter">{stem}</property>
    {props}
   </filter>
  </entry>
 </playlist>
 <tractor id="tractor0" title="Shotcut version 22.12.21" in="00:00:00.000" out="00:00:00.360">
  <track producer="playlist0"/>
 </tractor>
</mlt>
"""


class MeltProjects(unittest.TestCase):
    def setUp(self):
        for tool in ("melt", "ffmpeg"):
            if not shutil.which(tool):
                self.skipTest(f"{tool} is not installed")
        self.dir = tempfile.mkdtemp()
        self.env = dict(os.environ, MLT_FREI0R_PLUGIN_PATH=PLUGINS, FREI0R_PATH=PLUGINS)
        self.env.pop("DISPLAY", None)
        self.source = os.path.join(self.dir, "source.png")
        run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
             "testsrc2=size=320x240:rate=25", "-frames:v", "1", "-vf", "format=rgba",
             self.source])

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def rgba(self, pattern):
        return run(["ffmpeg", "-nostdin", "-v", "error", "-i", pattern, "-f", "rawvideo",
                    "-pix_fmt", "rgba", "-"]).stdout

    def described_defaults(self, stem):
        root = ET.parse(os.path.join(EDITORS, "kdenlive", stem + ".xml")).getroot()
        return {p.get("name"): float(p.get("default")) for p in root.findall("parameter")}

    def render_and_compare(self, project_text, stem, unit_at):
        """melt renders the project; frame n must equal fxhost with the
        parameter values of unit_at(n) (frei0r values by parameter name)."""
        project = os.path.join(self.dir, "project.mlt")
        with open(project, "w", encoding="utf-8") as f:
            f.write(project_text)
        # real_time=0: every frame rendered in order in the consumer's
        # thread, none dropped.
        run(["melt", "-silent", project, "-consumer",
             "avformat:" + os.path.join(self.dir, "melt_%03d.png"), "vcodec=png",
             "pix_fmt=rgba", "real_time=0"], env=self.env, cwd=self.dir)
        frames = sorted(glob.glob(os.path.join(self.dir, "melt_*.png")))
        self.assertEqual(len(frames), FRAMES)
        params = plugin(stem)
        effect = stem[len("kzr_"):]
        for n in range(FRAMES):
            units = unit_at(n)
            sets = []
            for name, u in units.items():
                p = params[name]
                if name in ("X", "Y"):
                    continue
                value = ("1" if u >= 0.5 else "0") if p.kind == F0R_PARAM_BOOL else \
                    repr(p.from_unit(u))
                sets += ["--set", f"{name}={value}"]
            if "X" in units:
                sets += ["--set", "Position=%r,%r" % (params["X"].from_unit(units["X"]),
                                                      params["Y"].from_unit(units["Y"]))]
            run([FXHOST, "render", effect, self.source, "-o",
                 os.path.join(self.dir, "ref_%03d.png" % (n + 1)), "-q"] + sets)
        melt = self.rgba(os.path.join(self.dir, "melt_%03d.png"))
        ref = self.rgba(os.path.join(self.dir, "ref_%03d.png"))
        self.assertEqual(len(melt), len(ref))
        frame = 320 * 240 * 4
        for n in range(FRAMES):
            a, b = melt[n * frame:(n + 1) * frame], ref[n * frame:(n + 1) * frame]
            differing = sum(1 for i in range(0, frame, 4) if a[i:i + 4] != b[i:i + 4])
            self.assertEqual(differing, 0, f"frame {n}: {differing} pixels differ")

    def test_kdenlive_project_with_frame_keyframes(self):
        # The drain with the described defaults, Degree keyframed from 0.1
        # at frame 0 to 0.9 at the last frame, Inverse on.
        stem = "kzr_drain"
        props = {k: repr(v) for k, v in self.described_defaults(stem).items()}
        props["Degree"] = f"0=0.1;{FRAMES - 1}=0.9"
        props["Inverse"] = "1"
        units = self.described_defaults(stem)
        units["Inverse"] = 1.0

        def unit_at(n):
            # MLT's linear keyframe interpolation: a + (b - a) * progress.
            return dict(units, Degree=0.1 + (0.9 - 0.1) * (n / (FRAMES - 1)))

        self.render_and_compare(kdenlive_project(self.source, stem, props), stem, unit_at)

    def test_shotcut_project_with_time_keyframes(self):
        # The square with the centre moving right: X keyframed by clock
        # time from 0.2 to 0.8, the rest at the described defaults.
        stem = "kzr_square"
        props = {k: repr(v) for k, v in self.described_defaults(stem).items()}
        props["X"] = "00:00:00.000=0.2;00:00:00.360=0.8"
        props["Degree"] = "0.6"
        units = dict(self.described_defaults(stem), Degree=0.6)

        def unit_at(n):
            return dict(units, X=0.2 + (0.8 - 0.2) * (n / (FRAMES - 1)))

        self.render_and_compare(shotcut_project(self.source, stem, props), stem, unit_at)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    EDITORS, PLUGINS, FXHOST = (os.path.realpath(a) for a in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
