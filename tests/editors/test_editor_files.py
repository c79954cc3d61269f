#!/usr/bin/python3
"""The Kdenlive descriptions and Shotcut filters that kzr_editorgen writes,
checked against the frei0r plug-ins themselves and rendered through melt.

  test_editor_files.py EDITORS_DIR PLUGIN_DIR FXHOST [unittest arguments]

EDITORS_DIR holds kdenlive/, kdenlive-de/ and shotcut/; PLUGIN_DIR the
kzr_*.so plug-ins with the module beside them.  Every frame melt renders
must equal what fxhost renders with the values the project holds then.
"""
import ctypes
import functools
import glob
import os
import pathlib
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
RANGE = re.compile(r"\((\S+) to (\S+)(?:; frei0r value = value / (\S+))?\)$")


def f32(x):
    """x rounded to the nearest float, as a C++ static_cast<float> does."""
    return struct.unpack("f", struct.pack("f", x))[0]


class PluginInfo(ctypes.Structure):
    _fields_ = ([(n, ctypes.c_char_p) for n in ("name", "author")] +
                [(n, ctypes.c_int) for n in ("plugin_type", "color_model", "frei0r_version",
                                             "major_version", "minor_version", "num_params")] +
                [("explanation", ctypes.c_char_p)])


class ParamInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("type", ctypes.c_int),
                ("explanation", ctypes.c_char_p)]


class Param:
    def __init__(self, name, kind, explanation, default):
        self.name, self.kind, self.default = name, kind, default
        self.lo = self.hi = None
        m = RANGE.search(explanation)
        if m:  # the range as floats, and the value the frei0r value 1 stands for
            self.lo, self.hi = f32(float(m.group(1))), f32(float(m.group(2)))
            self.scale = float(m.group(3) or 1)

    def from_unit(self, u):
        """The parameter value the adapter stores for the frei0r value u."""
        u = min(max(u, 0.0), 1.0)
        return min(max(f32(u * self.scale), self.lo), self.hi)


@functools.lru_cache(maxsize=None)
def plugin(name):
    """What the frei0r plug-in `name` reports: {param name: Param}."""
    lib = ctypes.CDLL(os.path.join(PLUGINS, name + ".so"))
    lib.f0r_construct.restype = ctypes.c_void_p
    if lib.f0r_init() != 1:
        raise RuntimeError(f"{name}.so: f0r_init failed")
    info = PluginInfo()
    lib.f0r_get_plugin_info(ctypes.byref(info))
    instance = ctypes.c_void_p(lib.f0r_construct(64, 48))
    params = {}
    for i in range(info.num_params):
        p, value = ParamInfo(), ctypes.c_double(-1)
        lib.f0r_get_param_info(ctypes.byref(p), i)
        lib.f0r_get_param_value(instance, ctypes.byref(value), i)
        params[p.name.decode()] = Param(p.name.decode(), p.type, p.explanation.decode(),
                                        value.value)
    lib.f0r_destruct(instance)
    lib.f0r_deinit()
    return params


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=120, **kw)


class KdenliveDescriptions(unittest.TestCase):
    def test_parameters_are_the_plugins_with_their_ranges_and_defaults(self):
        files = [f for lang in ("kdenlive", "kdenlive-de")
                 for f in sorted(glob.glob(os.path.join(EDITORS, lang, "kzr_*.xml")))]
        self.assertEqual(len(files), 20, "ten effects in English and in German")
        for path in files:
            with self.subTest(file=os.path.relpath(path, EDITORS)):
                root = ET.parse(path).getroot()  # a real XML parser: malformed files fail
                stem = os.path.basename(path)[:-4]
                self.assertEqual((root.tag, root.get("tag"), root.get("id")),
                                 ("effect", "frei0r." + stem, "frei0r." + stem))
                self.assertTrue(root.findtext("name").strip())
                self.assertTrue(root.findtext("description").strip())
                params = plugin(stem)
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
                    self.assertEqual((p.kind, el.get("type"), el.get("offset")),
                                     (F0R_PARAM_DOUBLE, "animated", None),
                                     "keyframable numbers without offsets, which Kdenlive 22.12 ignores")
                    # Kdenlive shows the stored value times factor: with the
                    # plug-in's scale as factor, the parameter's own value.
                    self.assertEqual(tuple(f32(float(el.get(a))) for a in ("factor", "min", "max")),
                                     (p.scale, p.lo, p.hi))
                    decimals, default = int(el.get("decimals")), p.from_unit(p.default)
                    self.assertEqual(f32(round(default, decimals)), default,
                                     f"{p.name}: the default needs more than {decimals} decimals")

    def test_english_and_german_texts(self):
        en, de = (ET.parse(os.path.join(EDITORS, lang, "kzr_drain.xml")).getroot()
                  for lang in ("kdenlive", "kdenlive-de"))
        self.assertEqual((en.findtext("name"), de.findtext("name")), ("Drain", "Abfluss"))
        self.assertNotEqual(en.findtext("description"), de.findtext("description"))

    def test_category_lists_every_effect(self):
        for lang in ("kdenlive",):
            group = ET.parse(os.path.join(EDITORS, lang, "category.xml")).getroot()
            stems = glob.glob(os.path.join(EDITORS, lang, "kzr_*.xml"))
            self.assertEqual(sorted(group.get("list").split(",")),
                             sorted("frei0r." + os.path.basename(p)[:-4] for p in stems))
            self.assertTrue(group.findtext("text").strip())


class ShotcutFilters(unittest.TestCase):
    def test_properties_and_defaults_are_the_plugins(self):
        folders = sorted(glob.glob(os.path.join(EDITORS, "shotcut", "kzr_*")))
        self.assertEqual(len(folders), 10)
        for folder in folders:
            stem = os.path.basename(folder)
            with self.subTest(filter=stem):
                params = plugin(stem)
                meta, ui = (pathlib.Path(folder, f).read_text(encoding="utf-8")
                            for f in ("meta.qml", "ui.qml"))
                self.assertIn(f"mlt_service: 'frei0r.{stem}'", meta)
                self.assertEqual(re.findall(r"property: '([^']+)'", meta),
                                 [n for n, p in params.items() if p.kind == F0R_PARAM_DOUBLE],
                                 "every number keyframable")
                initial = dict(re.findall(r"filter\.set\('([^']+)', ([-0-9.e]+)\);", ui))
                self.assertEqual(sorted(initial), sorted(params), "a new filter sets them all")
                for name, p in params.items():
                    self.assertEqual(float(initial[name]), p.default, name)
                    if p.kind == F0R_PARAM_DOUBLE:
                        # The slider shows the parameter's own range.
                        m = re.search(r"id: %sSlider\s+minimumValue: (\S+)\s+maximumValue: (\S+)"
                                      % re.escape(name[0].lower() + name[1:]), ui)
                        self.assertIsNotNone(m, f"no slider for {name}")
                        self.assertEqual(tuple(f32(float(v)) for v in m.groups()), (p.lo, p.hi))
                has_point = "X" in params and "Y" in params
                self.assertEqual((os.path.exists(os.path.join(folder, "vui.qml")),
                                  "vui: 'vui.qml'" in meta), (has_point, has_point),
                                 "an on-video point exactly for effects with a position")

    @unittest.skipUnless(shutil.which("qmllint"), "qmllint is not installed")
    def test_qml_parses(self):
        files = sorted(glob.glob(os.path.join(EDITORS, "shotcut", "kzr_*", "*.qml")))
        result = subprocess.run(["qmllint"] + files, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


# ---- melt renders projects the way the editors save them ---------------------

FRAMES = 10


def project(editor, source, stem, properties):
    """The project as Kdenlive or Shotcut saves it: the effect on the clip's
    playlist entry, with the editor's own properties beside the filter's.
    Kdenlive counts in frames, Shotcut in clock times."""
    def prop(name, value):
        return f'<property name="{name}">{value}</property>'

    if editor == "kdenlive":
        first, last, length, title, root = "0", FRAMES - 1, FRAMES, "", ' root=""'
        main_bin, producer, playlist, filter_out = "", prop("kdenlive:id", 2), "", ""
        own = prop("kdenlive_id", f"frei0r.{stem}") + prop("kdenlive:collapsed", 0)
    else:
        first, last, length = "00:00:00.000", "00:00:00.360", "00:00:00.400"
        title, root = ' title="Shotcut version 22.12.21"', ""
        main_bin = f'<playlist id="main_bin">{prop("xml_retain", 1)}</playlist>'
        producer, playlist = prop("shotcut:caption", "source.png"), prop("shotcut:video", 1)
        filter_out, own = f' out="{last}"', prop("shotcut:filter", stem)
    own += "".join(prop(k, v) for k, v in properties.items())
    return f"""<?xml version="1.0" encoding="utf-8"?>
<mlt LC_NUMERIC="C" version="7.12.0"{title} producer="main_bin"{root}>
 <profile description="320x240 25 fps" width="320" height="240" progressive="1"
  sample_aspect_num="1" sample_aspect_den="1" display_aspect_num="4" display_aspect_den="3"
  frame_rate_num="25" frame_rate_den="1" colorspace="709"/>
 {main_bin}
 <producer id="producer0" in="{first}" out="{last}">
  {prop("length", length)}{prop("resource", source)}{prop("mlt_service", "pixbuf")}{producer}
 </producer>
 <playlist id="playlist0">
  {playlist}
  <entry producer="producer0" in="{first}" out="{last}">
   <filter id="filter0"{filter_out}>{prop("mlt_service", "frei0r." + stem)}{own}</filter>
  </entry>
 </playlist>
 <tractor id="tractor0"{title} in="{first}" out="{last}">
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
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.source = os.path.join(self.dir, "source.png")
        run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
             "testsrc2=size=320x240:rate=25", "-frames:v", "1", "-vf", "format=rgba",
             self.source])

    def render_and_compare(self, editor, stem, fixed, key, keyframes, ends):
        """melt renders the editor's project of `stem` at the described
        defaults, the properties `fixed` and `key` keyframed from ends[0] to
        ends[1]; frame n must equal fxhost with the parameter values of the
        frei0r values the project holds at frame n."""
        root = ET.parse(os.path.join(EDITORS, "kdenlive", stem + ".xml")).getroot()
        defaults = {p.get("name"): float(p.get("default")) for p in root.findall("parameter")}
        props = {**{k: repr(v) for k, v in defaults.items()}, **fixed, key: keyframes}
        path = os.path.join(self.dir, "project.mlt")
        pathlib.Path(path).write_text(project(editor, self.source, stem, props), encoding="utf-8")
        env = dict(os.environ, MLT_FREI0R_PLUGIN_PATH=PLUGINS, FREI0R_PATH=PLUGINS)
        env.pop("DISPLAY", None)
        # real_time=0: every frame rendered in order in the consumer's
        # thread, none dropped.
        run(["melt", "-silent", path, "-consumer",
             "avformat:" + os.path.join(self.dir, "melt_%03d.png"), "vcodec=png",
             "pix_fmt=rgba", "real_time=0"], env=env, cwd=self.dir)
        self.assertEqual(len(glob.glob(os.path.join(self.dir, "melt_*.png"))), FRAMES)
        params = plugin(stem)
        for n in range(FRAMES):
            # MLT's linear keyframe interpolation: a + (b - a) * progress.
            units = {**defaults, **{k: float(v) for k, v in fixed.items()},
                     key: ends[0] + (ends[1] - ends[0]) * (n / (FRAMES - 1))}
            values = {k: str(int(u >= 0.5)) if params[k].kind == F0R_PARAM_BOOL else
                      repr(params[k].from_unit(u)) for k, u in units.items()}
            if "X" in values:  # fxhost takes the centre as one position
                values["Position"] = f'{values.pop("X")},{values.pop("Y")}'
            sets = [arg for k, v in values.items() for arg in ("--set", f"{k}={v}")]
            run([FXHOST, "render", stem[len("kzr_"):], self.source, "-o",
                 os.path.join(self.dir, "ref_%03d.png" % (n + 1)), "-q"] + sets)
        melt, ref = (run(["ffmpeg", "-nostdin", "-v", "error", "-i",
                          os.path.join(self.dir, kind + "_%03d.png"), "-f", "rawvideo",
                          "-pix_fmt", "rgba", "-"]).stdout for kind in ("melt", "ref"))
        self.assertEqual(len(melt), len(ref))
        size = 320 * 240 * 4
        for n in range(FRAMES):
            a, b = melt[n * size:(n + 1) * size], ref[n * size:(n + 1) * size]
            differing = sum(a[i:i + 4] != b[i:i + 4] for i in range(0, size, 4))
            self.assertEqual(differing, 0, f"frame {n}: {differing} pixels differ")

    def test_kdenlive_project_with_frame_keyframes(self):
        # The drain with Degree keyframed from 0.1 at frame 0 to 0.9 at the
        # last frame, Inverse on.
        self.render_and_compare("kdenlive", "kzr_drain", {"Inverse": "1"},
                                "Degree", f"0=0.1;{FRAMES - 1}=0.9", (0.1, 0.9))

    def test_shotcut_project_with_time_keyframes(self):
        # The square with the centre moving right: X keyframed by clock time
        # from 0.2 to 0.8, Degree at 0.06.
        self.render_and_compare("shotcut", "kzr_square", {"Degree": "0.06"},
                                "X", "00:00:00.000=0.2;00:00:00.360=0.8", (0.2, 0.8))


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    EDITORS, PLUGINS, FXHOST = (os.path.realpath(a) for a in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
