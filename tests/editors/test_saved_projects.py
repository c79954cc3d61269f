#!/usr/bin/python3
"""The projects Kdenlive 22.12 and Shotcut 22.12 saved themselves (data/,
written by scripts/check-editors.sh), rendered with melt: every frame of
the clip carrying the kzr_* filter must equal what fxhost renders with the
values the saved keyframes give that frame.

  test_saved_projects.py PLUGIN_DIR FXHOST [unittest arguments]
"""
import glob
import os
import re
import shutil
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

import test_editor_files as common  # plugin(), run(), F0R_PARAM_BOOL

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
FXHOST = None


def frame_of(time, fps):
    """A position as MLT reads it: a frame number or a clock time."""
    if ":" not in time:
        return int(time)
    h, m, s = time.split(":")
    return int((int(h) * 3600 + int(m) * 60 + float(s)) * fps + 0.5)


def value_at(text, n, fps):
    """A property at frame n: a number, or keyframes "t=v;t=v" interpolated
    as MLT does, a + (b - a) * progress (linear keyframes only)."""
    if "=" not in text:
        return float(text)
    if not re.fullmatch(r"[0-9:.=;]+", text):
        raise ValueError(f"{text!r}: only linear keyframes are read")
    keys = [(frame_of(t, fps), float(v)) for t, v in (k.split("=") for k in text.split(";"))]
    for (f0, v0), (f1, v1) in zip(keys, keys[1:]):
        if f0 <= n <= f1:
            return v0 + (v1 - v0) * ((n - f0) / (f1 - f0))
    return keys[0][1] if n < keys[0][0] else keys[-1][1]


class SavedProjects(unittest.TestCase):
    def test_every_frame_equals_fxhost(self):
        for tool in ("melt", "ffmpeg"):
            if not shutil.which(tool):
                self.skipTest(f"{tool} is not installed")
        projects = sorted(glob.glob(os.path.join(DATA, "*")))
        self.assertEqual([os.path.basename(p) for p in projects],
                         ["kdenlive-drain.kdenlive", "shotcut-drain.mlt"])
        for path in projects:
            with self.subTest(project=os.path.basename(path)):
                self.render_and_compare(path)

    def render_and_compare(self, path):
        root = ET.parse(path).getroot()
        profile = root.find("profile")
        fps = int(profile.get("frame_rate_num")) / int(profile.get("frame_rate_den"))
        holder, fx = next((el, f) for el in root.iter() for f in el.findall("filter")
                          if "frei0r.kzr_" in f.findtext("property[@name='mlt_service']", ""))
        # The clip: the playlist entry holding the filter (Kdenlive) or
        # playing the producer that holds it (Shotcut).
        entry = next(e for e in root.iter("entry")
                     if e is holder or e.get("producer") == holder.get("id"))
        count = frame_of(entry.get("out"), fps) - frame_of(entry.get("in"), fps) + 1
        stem = fx.findtext("property[@name='mlt_service']")[len("frei0r."):]
        params = common.plugin(stem)
        props = {p.get("name"): p.text for p in fx.findall("property") if p.get("name") in params}
        self.assertEqual(sorted(props), sorted(params), "the editor saved every parameter")
        self.assertTrue(any("=" in v for v in props.values()), "the editor saved keyframes")

        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        source = os.path.join(work, "source.png")
        common.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=%sx%s"
                    % (profile.get("width"), profile.get("height")), "-frames:v", "1", "-vf",
                    "format=rgba", source])
        # The clip's resource is source.png beside the project (Kdenlive
        # names that folder in root=).  The editors read it with qimage,
        # which fails without an X display (melt's fallback from it now and
        # then renders nothing or hangs), so pixbuf reads it here.
        project = os.path.join(work, os.path.basename(path))
        with open(path, encoding="utf-8") as f:
            text = re.sub(r'(<mlt [^>]*root=")[^"]*"', r'\g<1>%s"' % work, f.read(), count=1)
        text = text.replace('name="mlt_service">qimage<', 'name="mlt_service">pixbuf<')
        with open(project, "w", encoding="utf-8") as f:
            f.write(text)
        env = dict(os.environ, MLT_FREI0R_PLUGIN_PATH=common.PLUGINS)
        env.pop("DISPLAY", None)
        common.run(["melt", "-silent", project, "out=%d" % (count - 1), "-consumer",
                    "avformat:" + os.path.join(work, "melt_%03d.png"), "vcodec=png",
                    "pix_fmt=rgba", "real_time=0"], env=env, cwd=work)
        self.assertEqual(len(glob.glob(os.path.join(work, "melt_*.png"))), count)
        for n in range(count):
            values = {k: str(int(value_at(v, n, fps) >= 0.5))
                      if params[k].kind == common.F0R_PARAM_BOOL
                      else repr(params[k].from_unit(value_at(v, n, fps))) for k, v in props.items()}
            if "X" in values:  # fxhost takes the centre as one position
                values["Position"] = f'{values.pop("X")},{values.pop("Y")}'
            common.run([FXHOST, "render", stem[len("kzr_"):], source, "-o",
                        os.path.join(work, "ref_%03d.png" % (n + 1)), "-q"]
                       + [arg for k, v in values.items() for arg in ("--set", f"{k}={v}")])
        melt, ref = (common.run(["ffmpeg", "-nostdin", "-v", "error", "-i",
                                 os.path.join(work, kind + "_%03d.png"), "-f", "rawvideo",
                                 "-pix_fmt", "rgba", "-"]).stdout for kind in ("melt", "ref"))
        self.assertEqual(len(melt), len(ref))
        step = len(melt) // count
        for n in range(count):
            a, b = melt[n * step:(n + 1) * step], ref[n * step:(n + 1) * step]
            if a != b:
                differing = sum(a[i:i + 4] != b[i:i + 4] for i in range(0, step, 4))
                self.fail(f"frame {n}: {differing} pixels differ")

if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    common.PLUGINS, FXHOST = (os.path.realpath(a) for a in sys.argv[1:3])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
