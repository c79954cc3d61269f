"""The ten distortion effects of the KZR_PlugIn_6 module on NumPy frames.

    >>> import numpy as np, kzrfx
    >>> fx = kzrfx.Effect("drain", 640, 360, degree=20)
    >>> warped = fx(frame)           # frame: 360 x 640 x 4 uint8 (RGBA or BGRA)
    >>> warped = fx.apply_bgr(img)   # 360 x 640 x 3, as OpenCV reads images
    >>> fx.degree = 30               # or fx.set(degree=30, position=(0.4, 0.5))

`effects()` lists every effect with its parameters (Python name, key, display
name in English or German, type, range, default).  An effect object renders
frames of the size it was made for; parameters change between frames.
Different effect objects may render at the same time on different threads:
the interpreter lock is released while a frame is rendered.

The module is loaded on first use from the folder the installation recorded
(beside this package unless configured otherwise); the environment variable
KZRFX_MODULE, or load(path) before anything else, names another file.

read_image and encode_image read and write pictures with the library and
settings fxhost uses.  kzrfx.cluster (and `python3 -m kzrfx render`) renders
long videos and batches of files on a Dask cluster.
"""

import os
import threading
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

from . import _location, _native

__all__ = ["Effect", "EffectInfo", "Param", "effects", "encode_image", "languages", "load",
           "module_path", "read_image", "test_card"]

test_card = _native.test_card
read_image = _native.read_image
encode_image = _native.encode_image

_lock = threading.Lock()
_module: Optional[_native.Module] = None


def module_path() -> str:
    """The file the module is loaded from: $KZRFX_MODULE, or the recorded folder."""
    env = os.environ.get("KZRFX_MODULE")
    if env:
        return env
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, _location.MODULE_DIR, _location.MODULE_FILE))


def load(path: Optional[str] = None) -> _native.Module:
    """Loads the effect module (once) and returns it.

    Without `path` the module at module_path().  With `path`, that file; call
    it before making effects, which keep the module they were made with.
    Raises FileNotFoundError when the file is missing and ValueError when it
    is not an effect module.
    """
    global _module
    with _lock:
        if path is None and _module is not None:
            return _module
        file = module_path() if path is None else path
        if _module is not None and os.path.realpath(file) == os.path.realpath(_module.path):
            return _module
        if not os.path.exists(file):
            raise FileNotFoundError(
                f"the effect module is not at {file}; set KZRFX_MODULE to the path of "
                "KZR_PlugIn_6.so or call kzrfx.load(path)")
        _module = _native.Module(file)
        return _module


@dataclass(frozen=True)
class Param:
    """One parameter of an effect."""

    attr: str  #: Python name, as in Effect(..., x_offset=0.4) or effect.x_offset
    key: str  #: the module's key, "P1" to "P4"
    name: str  #: display name in the chosen language
    description: str  #: empty when the parameter has none
    type: str  #: "number", "switch" or "position"
    min: Any  #: float, bool or (x, y)
    max: Any
    default: Any
    choices: Tuple[str, ...] = ()


@dataclass(frozen=True)
class EffectInfo:
    """One effect of the module."""

    name: str  #: short name taken by Effect(), such as "hstretch"
    id: str  #: the module's effect id, such as "Kzr_Dsp_Vi_HStretch"
    title: str  #: display name in the chosen language
    description: str
    params: Tuple[Param, ...]


def effects(language: Optional[str] = None) -> List[EffectInfo]:
    """Every effect with its parameters.

    `language`: "en"/"ENU" for English, "de"/"DEU" for German; None takes the
    language the module picked for the user's locale.  ValueError names the
    languages at hand for any other.
    """
    out = []
    for e in load().effects(language):
        params = tuple(
            Param(p["attr"], p["key"], p["name"], p["description"], p["type"], p["min"],
                  p["max"], p["default"], tuple(p["choices"])) for p in e["params"])
        out.append(EffectInfo(e["name"], e["id"], e["title"], e["description"], params))
    return out


def languages() -> List[str]:
    """Languages of the module's text libraries, such as ["DEU", "ENU"]."""
    return load().languages()


class Effect(_native.Effect):
    """One effect prepared for frames of width x height pixels.

    Effect("square", 1280, 720, degree=0.05) makes the effect with its
    defaults and the given parameters; names are the Python names of
    effects() ("x_offset"), the keys ("P4") or display names.  Unknown
    effects or parameters and values out of range raise ValueError (the
    message gives what is accepted), values of the wrong kind TypeError.

    effect(frame, out=None) renders an H x W x 4 uint8 frame of any strides
    (copied first only when it is not C-contiguous) into a new array or into
    `out`; apply_bgr does the same for H x W x 3 frames.  Parameters are
    attributes (effect.degree = 0.05) and set(**params) sets several at once.
    cpu_level and task_count choose the code path and the parallel slices.
    """

    def __init__(self, name: str, width: int, height: int, **params: Any) -> None:
        super().__init__(load(), name, width, height)
        if params:
            self.set(**params)

    def __getattr__(self, name: str) -> Any:
        # Only reached when ordinary lookup fails: a parameter, or nothing.
        if not name.startswith("_") and self._is_param(name):
            return self.get(name)
        raise AttributeError(
            f"effect {self.name!r} has no attribute or parameter {name!r}; parameters: "
            + ", ".join(self.params))

    def __setattr__(self, name: str, value: Any) -> None:
        if not name.startswith("_") and not hasattr(type(self), name) and self._is_param(name):
            self.set(**{name: value})
        else:
            super().__setattr__(name, value)

    def __dir__(self) -> List[str]:
        return sorted(set(super().__dir__()) | set(self.params))

    def __repr__(self) -> str:
        values = ", ".join(f"{k}={v!r}" for k, v in self.params.items())
        return f"kzrfx.Effect({self.name!r}, {self.width}, {self.height}, {values})"

    @property
    def shape(self) -> Tuple[int, int, int]:
        """Shape of the frames the effect renders: (height, width, 4)."""
        return (self.height, self.width, 4)
