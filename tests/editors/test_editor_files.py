#!/usr/bin/python3
"""The Kdenlive descriptions and Shotcut filters that kzr_editorgen writes,
checked against the frei0r plug-ins themselves (projects the editors saved
are rendered through melt by test_saved_projects.py).

  test_editor_files.py EDITORS_DIR PLUGIN_DIR FXHOST [unittest arguments]

EDITORS_DIR holds kdenlive/, kdenlive-de/ and shotcut/; PLUGIN_DIR the
kzr_*.so plug-ins with the module beside them.
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


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    EDITORS, PLUGINS, FXHOST = (os.path.realpath(a) for a in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
