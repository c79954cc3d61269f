"""The effects on a Dask cluster: one long video split into frame ranges, or a
batch of pictures and videos, each file written as `fxhost render` writes it.

    >>> from kzrfx import cluster
    >>> with cluster.connect() as client:            # a local cluster, one process per core
    ...     cluster.render("drain", "long.mp4", "out.mkv", sets=["Degree=20"],
    ...                    animates=["Size=0.5:1"], codec="ffv1", client=client)
    ...     cluster.render_batch([cluster.Item("a.png", "laser"), cluster.Item("b.mp4", "square")],
    ...                          "warped/", client=client)

A video is cut into ranges of frames.  Each range is decoded on a worker
exactly from its first frame (ffmpeg seeks to the keyframe before it and
drops the frames up to it), rendered, and encoded into a segment with the
encoder settings fxhost uses; the segments are then joined in order without
re-encoding and the input's audio added.  A frame's animated values come from
its number in the whole video, so the output's frames equal those of `fxhost
render` whichever worker drew them (byte for byte with a lossless codec such
as FFV1).

Files are written under a temporary name beside the target and moved into
place only when complete.  The inputs and the output folder must be at the
same paths on every worker (a shared file system), unless `send_files` is
set: then the client sends each input to the workers and receives the
segments and outputs back through the cluster.
"""

import fcntl
import glob
import math
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass
from fractions import Fraction
from typing import Iterable, List, Optional, Sequence, Tuple

import numpy as np

IMAGE_INPUTS = (".png", ".jpg", ".jpeg", ".bmp", ".tga")
IMAGE_OUTPUTS = (".png", ".jpg", ".jpeg")
VIDEO_OUTPUTS = (".mp4", ".m4v", ".mov", ".mkv", ".webm", ".avi", ".gif", ".ts", ".ogv")

__all__ = ["RenderError", "Settings", "Item", "VideoInfo", "connect", "probe", "plan_ranges",
           "ramp_value", "render", "render_batch", "render_range", "render_file"]


class RenderError(Exception):
    """A refusal or failure, said in one message for the person who asked."""


# ---- What to render ---------------------------------------------------------

@dataclass(frozen=True)
class Settings:
    """What `fxhost render` takes besides the input and the output."""

    effect: str
    sets: Tuple[str, ...] = ()  #: "KEY=VALUE", as --set
    animates: Tuple[str, ...] = ()  #: "KEY=FROM:TO", as --animate
    codec: str = ""  #: ffmpeg video encoder; empty: by container, as fxhost
    cpu_level: Optional[int] = None  #: as --cpu-level; None: what the processor supports
    tasks: int = 1  #: bands of rows per frame (a worker process per core needs no more)
    ref: str = ""  #: "WxH", as --ref


@dataclass(frozen=True)
class Item:
    """One file of a batch: its input, effect and parameters; `output` is the
    file name in the output folder (default: the input's name, as .png for a
    picture that fxhost cannot write in its own format)."""

    input: str
    effect: str
    sets: Tuple[str, ...] = ()
    animates: Tuple[str, ...] = ()
    codec: str = ""
    output: str = ""


def _ext(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def _one_line(text: str) -> str:
    lines = [line.strip() for line in str(text).strip().splitlines() if line.strip()]
    return "; ".join(lines)


def _parse_size(text: str, option: str) -> Tuple[int, int]:
    parts = text.lower().split("x")
    if len(parts) == 2 and all(p.isdigit() for p in parts):
        w, h = int(parts[0]), int(parts[1])
        if 1 <= w <= 16384 and 1 <= h <= 16384:
            return w, h
    raise RenderError(f"{option} expects WxH with sides of 1 to 16384 pixels, such as "
                      f"1920x1080; got '{text}'")


def ramp_value(start: float, end: float, frame: int, frames: int) -> float:
    """The value of a ramp at `frame` of `frames`, computed as fxhost computes
    it: t = frame / (frames - 1) in double (0 for one frame, at most 1), then
    start + (end - start) * t rounded to float."""
    t = frame / (frames - 1) if frames > 1 else 0.0
    t = min(max(t, 0.0), 1.0)
    return float(np.float32(start + (end - start) * t))


class _Ramps:
    """The --animate ramps of an effect, applied by absolute frame number."""

    def __init__(self, fx, animates: Sequence[str]):
        self.ramps = []
        for text in animates:
            name, eq, values = text.partition("=")
            if not eq or not name or values.count(":") != 1:
                raise RenderError(
                    "--animate expects KEY=FROM:TO (such as P1=0.01:0.1, or "
                    f"Position=0.2,0.5:0.8,0.5); got '{text}'")
            low, high = values.split(":")
            if not isinstance(fx.get(name), (float, tuple)):
                raise RenderError(f"{name} is not a number or a position and cannot be animated")
            # Both ends parsed and range-checked as --set parses them.
            self.ramps.append((name, fx.set_text(name, low), fx.set_text(name, high)))

    def apply(self, fx, frame: int, frames: int) -> None:
        for name, a, b in self.ramps:
            if isinstance(a, tuple):
                value = tuple(ramp_value(a[i], b[i], frame, frames) for i in range(2))
            else:
                value = ramp_value(a, b, frame, frames)
            fx.set(**{name: value})


def _make_effect(settings: Settings, width: int, height: int):
    import kzrfx
    try:
        fx = kzrfx.Effect(settings.effect, width, height)
        for text in settings.sets:
            name, eq, value = text.partition("=")
            if not eq or not name:
                raise RenderError("--set expects KEY=VALUE (such as P1=0.05 or Degree=0.05); "
                                  f"got '{text}'")
            fx.set_text(name, value)
        ramps = _Ramps(fx, settings.animates)
        if settings.cpu_level is not None:
            fx.cpu_level = settings.cpu_level
        fx.task_count = settings.tasks
        if settings.ref:
            fx.set_reference(*_parse_size(settings.ref, "--ref"))
    except (ValueError, TypeError) as e:
        raise RenderError(str(e)) from None
    return fx, ramps


# ---- Videos through ffmpeg ----------------------------------------------------

@dataclass(frozen=True)
class VideoInfo:
    """A video as fxhost sees it: the decoded size, the frame rate handed to
    ffmpeg, the frame count its ramps run over, and the audio codecs."""

    width: int
    height: int
    rate: str
    frames: int  #: 0 when the container does not tell
    audio_codecs: Tuple[str, ...] = ()

    @property
    def fps(self) -> Fraction:
        return Fraction(self.rate)


def _run(argv: List[str], what: str) -> str:
    try:
        done = subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    except FileNotFoundError:
        raise RenderError(f"{argv[0]} was not found on PATH: videos are read and written with "
                          "the ffmpeg command-line tools; install ffmpeg (for example: apt-get "
                          "install ffmpeg)") from None
    if done.returncode != 0:
        raise RenderError(f"{what}: {_one_line(done.stderr)}")
    return done.stdout


def _flat(text: str) -> dict:
    out = {}
    for line in text.splitlines():
        key, eq, value = line.partition("=")
        if eq:
            out[key] = value[1:-1] if len(value) >= 2 and value[0] == value[-1] == '"' else value
    return out


def _usable_rate(text: str) -> bool:
    try:
        n, _, d = text.partition("/")
        n, d = int(n), int(d or 1)
    except ValueError:
        return False
    return n > 0 and d > 0 and 0.01 <= n / d <= 1000


def probe(path: str) -> VideoInfo:
    """The video's size, rate, frame count and audio codecs, read with ffprobe
    by the rules fxhost follows."""
    fields = _flat(_run(["ffprobe", "-v", "error", "-show_entries",
                         "stream=index,codec_type,codec_name,width,height,r_frame_rate,"
                         "avg_frame_rate,nb_frames:stream_side_data=rotation", "-of", "flat",
                         "--", path], f"cannot read {path} as a video"))
    video, audio, i = None, [], 0
    while f"streams.stream.{i}.codec_type" in fields:
        prefix = f"streams.stream.{i}."
        kind = fields[prefix + "codec_type"]
        if kind == "video" and video is None:
            video = prefix
        elif kind == "audio":
            audio.append(fields.get(prefix + "codec_name", "unknown"))
        i += 1
    if video is None:
        raise RenderError(f"{path} has no video stream")
    get = lambda key: fields.get(video + key, "")  # noqa: E731
    try:
        w, h = int(get("width")), int(get("height"))
    except ValueError:
        w = h = 0
    if not (1 <= w <= 16384 and 1 <= h <= 16384):
        raise RenderError(f"{path}: the video's frame size {get('width')}x{get('height')} is not "
                          "supported (1 to 16384 pixels a side)")
    rotation = 0
    for key, value in fields.items():
        if key.startswith(video) and key.endswith(".rotation"):
            try:
                rotation = int(value)
            except ValueError:
                pass
    if (abs(rotation) // 90) % 2 == 1:
        w, h = h, w
    rate = next((r for r in (get("avg_frame_rate"), get("r_frame_rate")) if _usable_rate(r)), "25")
    try:
        frames = int(get("nb_frames"))
    except ValueError:
        frames = 0
    if frames <= 0:
        counted = _flat(_run(["ffprobe", "-v", "error", "-count_packets", "-select_streams",
                              "v:0", "-show_entries", "stream=nb_read_packets", "-of", "flat",
                              "--", path], f"cannot count the frames of {path}"))
        try:
            frames = max(int(counted.get("streams.stream.0.nb_read_packets", "0")), 0)
        except ValueError:
            frames = 0
    return VideoInfo(w, h, rate, frames, tuple(audio))


def video_codec_args(ext: str, codec: str, width: int, height: int) -> List[str]:
    """The encoder arguments fxhost gives ffmpeg for a container (by extension)."""
    chosen = codec or {".mp4": "libx264", ".m4v": "libx264", ".mov": "libx264",
                       ".mkv": "libx264", ".webm": "libvpx-vp9"}.get(ext, "")
    args = ["-c:v", chosen] if chosen else []
    if chosen == "libx264":
        even = width % 2 == 0 and height % 2 == 0
        args += ["-preset", "veryfast", "-crf", "18", "-pix_fmt", "yuv420p" if even else "yuv444p"]
    elif chosen == "libvpx-vp9" and not codec:
        args += ["-crf", "32", "-b:v", "0", "-pix_fmt", "yuv420p"]
    return args


def audio_args(ext: str, codecs: Sequence[str]) -> List[str]:
    """Copy the audio when the container holds its codecs, as fxhost does;
    otherwise fxhost's choice of encoder."""
    allowed = {".mp4": {"aac", "mp3", "alac", "ac3", "eac3", "opus"},
               ".m4v": {"aac", "mp3", "alac", "ac3", "eac3", "opus"},
               ".mov": {"aac", "mp3", "alac", "ac3", "eac3", "pcm_s16le", "pcm_s24le"},
               ".webm": {"opus", "vorbis"},
               ".avi": {"mp3", "ac3", "pcm_s16le", "pcm_u8", "mp2"}}.get(ext)
    if allowed is None or all(c in allowed for c in codecs):
        return ["-c:a", "copy"]
    return {".webm": ["-c:a", "libopus", "-b:a", "160k"],
            ".avi": ["-c:a", "libmp3lame", "-b:a", "192k"]}.get(ext,
                                                                 ["-c:a", "aac", "-b:a", "192k"])


def _container_args(ext: str) -> List[str]:
    return ["-movflags", "+faststart"] if ext in (".mp4", ".m4v", ".mov") else []


def _ffmpeg(args: List[str], **kwargs) -> subprocess.Popen:
    try:
        return subprocess.Popen(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                 *args], stderr=subprocess.PIPE, **kwargs)
    except FileNotFoundError:
        raise RenderError("ffmpeg was not found on PATH of a worker: install ffmpeg there (for "
                          "example: apt-get install ffmpeg)") from None


def _wide_pipe(stream) -> None:
    # Larger pipes let the decoder run a frame ahead; the size is a hint.
    try:
        fcntl.fcntl(stream.fileno(), 1031, 1 << 20)  # F_SETPIPE_SZ
    except OSError:
        pass


class _Errors(threading.Thread):
    """Reads a child's error output while it runs, so a full pipe never stops it."""

    def __init__(self, proc: subprocess.Popen):
        super().__init__(daemon=True)
        self.proc, self.text = proc, b""
        self.start()

    def run(self) -> None:
        self.text = self.proc.stderr.read()

    def message(self) -> str:
        self.join()
        return _one_line(self.text.decode(errors="replace"))


def _read_frame(stream, frame: np.ndarray) -> bool:
    view, got = memoryview(frame).cast("B"), 0
    while got < len(view):
        n = stream.readinto(view[got:])
        if not n:
            if got:
                raise RenderError("the decoder ended inside a frame")
            return False
        got += n
    return True


def _progress_reporter(progress):
    """A function that tells the client how many frames a task has done (an
    event on the scheduler under the job's topic), or does nothing outside a
    worker or without `progress` = (topic, part)."""
    worker = None
    if progress:
        try:
            from distributed import get_worker
            worker = get_worker()
        except (ImportError, ValueError):
            pass
    if worker is None:
        return lambda done, final=False: None
    topic, part = progress
    last = [0.0]

    def report(done: int, final: bool = False) -> None:
        now = time.monotonic()
        if final or now - last[0] > 0.25:
            last[0] = now
            worker.log_event(topic, (part, done))
    return report


def _render_frames(settings: Settings, source: str, info: VideoInfo, start: int,
                   count: Optional[int], writer_args: List[str], target: str, what: str,
                   progress=None, audio: bool = False) -> int:
    """Decodes frames start.. (count of them, or to the end), renders them with
    the ramps at their absolute numbers and encodes them into `target`."""
    fx, ramps = _make_effect(settings, info.width, info.height)
    decode = []
    if start > 0:
        # A quarter frame before the frame wanted: ffmpeg seeks to the
        # keyframe before that time and drops every decoded frame earlier than
        # it.  The margin outlasts any rounding of the timestamps, and stays
        # below the half frame at which the constant-rate output would repeat
        # the first frame.
        decode += ["-ss", f"{(start - 0.25) / float(info.fps):.6f}"]
    decode += ["-i", source, "-map", "0:v:0", "-an", "-sn", "-dn", "-fps_mode", "cfr",
               "-r", info.rate]
    if count is not None:
        decode += ["-frames:v", str(count)]
    decode += ["-f", "rawvideo", "-pix_fmt", "rgba", "pipe:1"]
    encode = ["-y", "-f", "rawvideo", "-pix_fmt", "rgba", "-s", f"{info.width}x{info.height}",
              "-framerate", info.rate, "-i", "pipe:0"]
    if audio and info.audio_codecs:
        encode += ["-i", source, "-map", "0:v:0", "-map", "1:a?",
                   *audio_args(_ext(target), info.audio_codecs)]
    else:
        encode += ["-map", "0:v:0"]
    encode += writer_args + [target]
    reader = _ffmpeg(decode, stdout=subprocess.PIPE)
    reader_errors = _Errors(reader)
    writer = _ffmpeg(encode, stdin=subprocess.PIPE)
    writer_errors = _Errors(writer)
    _wide_pipe(reader.stdout)
    _wide_pipe(writer.stdin)
    report = _progress_reporter(progress)
    done = 0

    def written(n: int) -> None:
        nonlocal done
        done = n
        report(n)
    try:
        _pipeline(reader.stdout, writer.stdin, (info.height, info.width, 4), count,
                  lambda frame: ramps.apply(fx, start + frame, info.frames), fx, written)
    finally:
        for stream in (reader.stdout, writer.stdin):
            try:
                stream.close()
            except BrokenPipeError:
                pass
        reader_status, writer_status = reader.wait(), writer.wait()
    if writer_status != 0:
        raise RenderError(f"ffmpeg could not encode {what}: {writer_errors.message()}")
    messages = reader_errors.message()
    if reader_status != 0 or messages:
        raise RenderError(f"ffmpeg could not decode {source}: {messages}")
    if count is not None and done != count:
        raise RenderError(f"{source} ended after frame {start + done - 1}, before the "
                          f"{info.frames} frames its container announces")
    report(done, True)
    return done


def _pipeline(source, sink, shape, count, before, fx, written) -> None:
    """Frames from `source` rendered by `fx` into `sink`, at most `count`: a
    thread reads frames ahead, this one renders them (`before(n)` first) and
    another writes them, as fxhost overlaps its stages; the buffers go round.
    The interpreter lock is free while a thread reads, writes or renders.
    `written(n)` follows the frames written; an encoder that stops taking
    frames stops the others (its own message then tells why)."""
    free_src, free_dst = queue.Queue(), queue.Queue()
    decoded, rendered = queue.Queue(), queue.Queue()
    for _ in range(3):
        free_src.put(np.empty(shape, np.uint8))
        free_dst.put(np.empty(shape, np.uint8))
    stop, failure = threading.Event(), []

    def read() -> None:
        try:
            n = 0
            while (count is None or n < count) and not stop.is_set():
                frame = free_src.get()
                if not _read_frame(source, frame):
                    break
                decoded.put(frame)
                n += 1
        except BaseException as e:  # noqa: BLE001 - raised again by the rendering thread
            failure.append(e)
        decoded.put(None)

    def write() -> None:
        n = 0
        while (frame := rendered.get()) is not None:
            if not stop.is_set():
                try:
                    sink.write(frame.data)
                    n += 1
                    written(n)
                except (OSError, ValueError):
                    stop.set()
            free_dst.put(frame)

    reader = threading.Thread(target=read, daemon=True)
    writer = threading.Thread(target=write, daemon=True)
    reader.start()
    writer.start()
    try:
        n = 0
        while not stop.is_set() and (src := decoded.get()) is not None:
            dst = free_dst.get()
            before(n)
            fx(src, out=dst)
            free_src.put(src)
            rendered.put(dst)
            n += 1
    except BaseException:
        stop.set()
        raise
    finally:
        rendered.put(None)
        writer.join()
    stop.set()
    free_src.put(np.empty(shape, np.uint8))  # a reader waiting for a buffer sees the stop
    reader.join()
    if failure:
        raise failure[0]


def _segment_ext(output_ext: str, codec: str) -> str:
    """The container of the segments: QuickTime, whose time base counts the
    frames exactly, for every encoder it holds; MP4 for VP9 and Matroska for
    Theora, which it does not."""
    chosen = codec or {".webm": "libvpx-vp9", ".ogv": "libtheora"}.get(output_ext, "")
    return {"libvpx-vp9": ".mp4", "libtheora": ".mkv"}.get(chosen, ".mov")


def render_range(settings: Settings, source: str, info: VideoInfo, start: int,
                 count: Optional[int], output_ext: str, segment: str = "",
                 progress=None, data=None):
    """A worker's part of a video: frames start to start + count - 1 (or to the
    end with count None), rendered and encoded into the segment file
    `segment`; returns the frames rendered.  Without `segment` (the input
    given as bytes in `data`) the segment's bytes are returned with the count."""
    with tempfile.TemporaryDirectory(prefix="kzrfx-") as scratch:
        if data is not None:
            source = _kept_input(*data, source)
        elif not os.path.isfile(source):
            raise RenderError(_missing_on_worker(source))
        if segment and not os.path.isdir(os.path.dirname(segment)):
            raise RenderError(_missing_on_worker(os.path.dirname(segment), "output folder"))
        ext = _segment_ext(output_ext, settings.codec)
        target = segment + ".part" + ext if segment else os.path.join(scratch, "segment" + ext)
        try:
            done = _render_frames(settings, source, info, start, count,
                                  video_codec_args(output_ext, settings.codec, info.width,
                                                   info.height),
                                  target, f"the segment of frames from {start}", progress)
            if not segment:
                with open(target, "rb") as f:
                    return done, f.read()
            os.replace(target, segment)
            return done
        finally:
            if segment and os.path.exists(target):
                os.unlink(target)


def _worker_name() -> str:
    try:
        from distributed import get_worker
        return "worker " + get_worker().address
    except (ImportError, ValueError):
        return "this machine"


def _missing_on_worker(path: str, what: str = "input") -> str:
    return (f"{what} {path} is not there on {_worker_name()}; the workers read the inputs and "
            "write the outputs at the paths the client gives (a shared file system), or pass "
            "--send-files to send them through the cluster")


def _kept_input(job: str, data: bytes, name: str) -> str:
    """A sent input as a file that the job's ranges on this machine share;
    forget_input removes it."""
    path = os.path.join(tempfile.gettempdir(), f"kzrfx-input-{job}{_ext(name)}")
    if not os.path.exists(path):
        fd, temp = tempfile.mkstemp(prefix=f"kzrfx-input-{job}-", dir=os.path.dirname(path))
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(temp, path)
    return path


def forget_input(job: str) -> None:
    for path in glob.glob(os.path.join(tempfile.gettempdir(), f"kzrfx-input-{job}*")):
        os.unlink(path)


def _spill(data, scratch: str, name: str) -> str:
    path = os.path.join(scratch, "input" + _ext(name))
    with open(path, "wb") as f:
        f.write(data)
    return path


# ---- Writing outputs ------------------------------------------------------------

def _temp_beside(path: str) -> str:
    folder, name = os.path.split(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=f".{name}.kzrfx-", suffix=_ext(name), dir=folder)
    mask = os.umask(0)
    os.umask(mask)
    os.fchmod(fd, 0o666 & ~mask)  # the mode of a file made the ordinary way
    os.close(fd)
    return temp


def _commit(temp: str, path: str, force: bool) -> None:
    """Moves a finished file into place; without force an existing file is
    never replaced, even one that appeared meanwhile."""
    if force:
        os.replace(temp, path)
        return
    try:
        os.link(temp, path)
    except FileExistsError:
        raise RenderError(f"{path} appeared while rendering; use --force to overwrite it") \
            from None
    os.unlink(temp)


def _write_bytes(path: str, data: bytes, force: bool) -> None:
    temp = _temp_beside(path)
    try:
        with open(temp, "wb") as f:
            f.write(data)
        _commit(temp, path, force)
    except OSError as e:
        raise RenderError(f"cannot write {path}: {e.strerror}") from None
    finally:
        if os.path.exists(temp):
            os.unlink(temp)


def render_file(settings: Settings, source: str, output: str, force: bool = False,
                progress=None, data=None):
    """One whole file on one worker: a picture, or a video with its audio.
    Writes `output` (under a temporary name first) and returns the frames
    rendered; with the input's bytes in `data`, returns the output's bytes
    with the count instead of writing."""
    with tempfile.TemporaryDirectory(prefix="kzrfx-") as scratch:
        if data is not None:
            source = _spill(data, scratch, source)
        elif not os.path.isfile(source):
            raise RenderError(_missing_on_worker(source))
        if data is None and not os.path.isdir(os.path.dirname(output)):
            raise RenderError(_missing_on_worker(os.path.dirname(output), "output folder"))
        ext = _ext(output)
        if ext in IMAGE_OUTPUTS:
            import kzrfx
            try:
                src = kzrfx.read_image(source)
            except ValueError as e:
                raise RenderError(str(e)) from None
            fx, _ = _make_effect(settings, src.shape[1], src.shape[0])
            encoded = kzrfx.encode_image(fx(src), ext)
            if data is not None:
                return 1, encoded
            _write_bytes(output, encoded, force)
            return 1
        info = probe(source)
        target = os.path.join(scratch, "out" + ext) if data is not None else _temp_beside(output)
        try:
            done = _render_frames(settings, source, info, 0, None,
                                  video_codec_args(ext, settings.codec, info.width, info.height)
                                  + _container_args(ext), target, output, progress, audio=True)
            if done == 0:
                raise RenderError(f"{source} has no video frames to render")
            if data is not None:
                with open(target, "rb") as f:
                    return done, f.read()
            _commit(target, output, force)
            return done
        finally:
            if data is None and os.path.exists(target):
                os.unlink(target)


def join(segments: Sequence[str], counts: Sequence[int], info: VideoInfo, source: str,
         output: str, force: bool, folder: str) -> None:
    """Joins the segments (of counts[i] frames) in order without re-encoding,
    adds the input's audio, and moves the result into place.  Each segment
    lasts exactly its frames, so the joined frames keep the constant rate."""
    listing = os.path.join(folder, "segments.txt")
    with open(listing, "w") as f:
        for s, n in zip(segments, counts):
            f.write("file '" + os.path.abspath(s).replace("'", "'\\''") + "'\n")
            f.write(f"duration {float(n / info.fps):.9f}\n")
    ext = _ext(output)
    args = ["-y", "-f", "concat", "-safe", "0", "-i", listing]
    if info.audio_codecs:
        args += ["-i", source, "-map", "0:v:0", "-map", "1:a?", *audio_args(ext, info.audio_codecs)]
    else:
        args += ["-map", "0:v:0"]
    temp = _temp_beside(output)
    try:
        proc = _ffmpeg(args + ["-c:v", "copy", *_container_args(ext), temp])
        errors = _Errors(proc)
        if proc.wait() != 0:
            raise RenderError(f"ffmpeg could not join the segments into {output}: "
                              f"{errors.message()}")
        _commit(temp, output, force)
    finally:
        if os.path.exists(temp):
            os.unlink(temp)


# ---- The cluster ------------------------------------------------------------------

class _IgnoreInterrupt:
    """A worker plugin: the local cluster's workers leave Ctrl-C at the
    terminal to the client, which stops the job and the cluster in order
    (instead of each worker printing how it was interrupted).  It runs as
    each worker starts, on its main thread, restarted workers too."""

    def setup(self, worker) -> None:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)


class connect:
    """A Dask client: of the scheduler at `scheduler` ("tcp://host:8786"), or
    of a local cluster of `workers` processes (default one per core) that
    ends with the context.  A scheduler that cannot be reached raises
    RenderError."""

    def __init__(self, scheduler: str = "", workers: int = 0, timeout: float = 10):
        self.scheduler, self.workers, self.timeout = scheduler, workers, timeout
        self.cluster = self.client = None

    def __enter__(self):
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            raise RenderError("rendering on a cluster needs Dask's distributed package "
                              "(apt-get install python3-distributed)") from None
        if self.scheduler:
            try:
                self.client = Client(self.scheduler, timeout=self.timeout)
            except (OSError, TimeoutError, ValueError) as e:
                raise RenderError(
                    f"cannot reach the Dask scheduler at {self.scheduler} ({_one_line(e)}); "
                    "start one with `dask scheduler` and workers with `dask worker "
                    f"{self.scheduler}`, or leave out --scheduler to render on this machine") \
                    from None
            return self.client
        # Worker processes set up their logging from the environment as they
        # start: only errors, not Dask's notes, on the user's terminal.
        os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "error")
        # A free port for the scheduler's web server (the dashboard, when
        # bokeh is there), so that a second cluster on the machine does not
        # clash.
        self.cluster = LocalCluster(n_workers=self.workers or os.cpu_count() or 1,
                                    threads_per_worker=1, processes=True,
                                    dashboard_address=":0", silence_logs=40)
        self.client = Client(self.cluster)
        self.client.register_worker_plugin(_IgnoreInterrupt(), name="kzrfx-ignore-interrupt")
        return self.client

    def __exit__(self, *exc):
        # Closing waits for the workers to stop, which takes a while on a
        # busy machine; stopping late is no failure of the render.
        for part in (self.client, self.cluster):
            if part is not None:
                try:
                    part.close(timeout=120)
                except Exception:  # noqa: BLE001 - the render's outcome is known by now
                    pass


def dashboard(client) -> str:
    """The address of the scheduler's dashboard, or "" when none runs (the
    dashboard needs bokeh beside the scheduler)."""
    def has_dashboard(dask_scheduler=None):
        import importlib.util
        return importlib.util.find_spec("bokeh") is not None
    try:
        if "dashboard" in client.scheduler_info().get("services", {}) and \
                client.run_on_scheduler(has_dashboard):
            return client.dashboard_link or ""
    except Exception:  # noqa: BLE001 - the address is a courtesy
        pass
    return ""


class _Bar:
    """Frames (or files) done of the total with an estimate of the time left,
    on standard error when it is a terminal."""

    def __init__(self, total: int, unit: str, show: bool):
        self.total, self.unit, self.show = total, unit, show and sys.stderr.isatty()
        self.parts, self.lock, self.began = {}, threading.Lock(), time.monotonic()
        self.last = 0.0

    def update(self, part, done: int) -> None:
        with self.lock:
            self.parts[part] = done
        self.draw()

    def draw(self, final: bool = False) -> None:
        if not self.show:
            return
        now = time.monotonic()
        if not final and now - self.last < 0.2:
            return
        self.last = now
        done = sum(self.parts.values())
        total = max(self.total, done)
        elapsed = now - self.began
        line = f"{done}/{total} {self.unit}" if total else f"{done} {self.unit}"
        if total:
            filled = int(30 * done / total)
            line = f"[{'#' * filled}{'.' * (30 - filled)}] " + line
            if total // 20 <= done < total and done > 0:  # an estimate once 5 % are done
                left = elapsed * (total - done) / done
                line += f", {int(left) // 60}:{int(left) % 60:02d} left"
        sys.stderr.write("\r" + line + "\x1b[K" + ("\n" if final else ""))
        sys.stderr.flush()


def _gather(client, futures: dict, bar: _Bar, topic: str, count) -> dict:
    """Waits for the futures ({part: future}), drawing the bar from the events
    the tasks send (frames so far; a range run again starts again from 0) and
    from their results; the first failure cancels the rest and is raised."""
    from distributed import as_completed

    client.subscribe_topic(topic, lambda event: bar.update(*event[1]))
    results = {}
    try:
        part_of = {f.key: part for part, f in futures.items()}
        for future in as_completed(list(futures.values())):
            if future.status == "error":
                raise future.exception()
            part = part_of[future.key]
            results[part] = future.result()
            bar.update(part, count(results[part]))
    except BaseException:
        client.cancel(list(futures.values()))
        raise
    finally:
        try:
            client.unsubscribe_topic(topic)
        except Exception:  # noqa: BLE001 - the client may be closing
            pass
    bar.draw(final=True)
    return results


# ---- Jobs -----------------------------------------------------------------------

def plan_ranges(frames: int, workers: int,
                range_frames: int = 0) -> List[Tuple[int, Optional[int]]]:
    """(first frame, count) of each range; the last runs to the end of the
    video (count None), so frames the container did not announce are kept.
    Without `range_frames`: up to four ranges a worker, a multiple of the
    workers so that each does as many, of at least 100 frames unless that
    leaves a worker idle, and at most 1500."""
    if frames <= 0:
        return [(0, None)]
    workers = max(workers, 1)
    if range_frames:
        per = range_frames
    else:
        n = workers * min(max(frames // (workers * 100), 1), 4)
        n = max(n, workers * math.ceil(frames / (1500 * workers)))
        per = math.ceil(frames / n)
    starts = list(range(0, frames, per))
    return [(s, per) for s in starts[:-1]] + [(starts[-1], None)]


def _check(settings: Settings, source: str, output: str, force: bool) -> None:
    """fxhost render's refusals, made before any work is sent out."""
    out_ext = _ext(output)
    if out_ext not in IMAGE_OUTPUTS + VIDEO_OUTPUTS:
        raise RenderError(f"cannot tell what to write to {output} from its name; use .png or .jpg "
                          f"for an image, or one of {', '.join(VIDEO_OUTPUTS)} for a video")
    if not force and os.path.lexists(output):
        raise RenderError(f"{output} already exists; use --force to overwrite it")
    if not source:
        raise RenderError("give an input picture or video; the built-in test card is rendered "
                          "by fxhost render on one machine")
    if not os.path.isfile(source):
        raise RenderError(f"input {source} does not exist")
    picture_in = _ext(source) in IMAGE_INPUTS
    if out_ext in IMAGE_OUTPUTS:
        if not picture_in:
            raise RenderError(f"the input {source} is a video but the output {output} is an "
                              "image; write the video to a video file such as out.mp4")
        if settings.animates:
            raise RenderError("--animate ramps a parameter over the frames of a video; the "
                              f"output {output} is an image")
        if settings.codec:
            raise RenderError(f"--codec chooses a video encoder; the output {output} is an image")
    elif picture_in:
        raise RenderError(f"the input {source} is a picture; a video made from a still picture "
                          "is rendered by fxhost render --duration on one machine")
    if not os.path.isdir(os.path.dirname(os.path.abspath(output))):
        raise RenderError(f"cannot write {output}: its folder does not exist")


def check(settings: Settings, source: str, output: str, force: bool) -> None:
    """Refuses (RenderError) what `fxhost render` would refuse: the names,
    the files and the parameters' values."""
    _check(settings, source, output, force)
    _make_effect(settings, 16, 16)


def _describe(e: BaseException) -> str:
    """One line for a failure that came back from the cluster."""
    name = type(e).__name__
    if isinstance(e, RenderError):
        return str(e)
    if name == "KilledWorker":
        return ("the workers running a part of the job died again and again (out of memory, "
                f"or killed); Dask gave up: {_one_line(e)}")
    if name == "CancelledError":
        return "the job was cancelled on the cluster (the scheduler or its workers went away)"
    if isinstance(e, OSError) and e.strerror:
        where = f" {e.filename}" if e.filename else ""
        return f"cannot write{where}: {e.strerror}"
    return f"{name}: {_one_line(e)}"


def _workers(client) -> int:
    return max(len(client.scheduler_info().get("workers", {})), 1)


def _send(client, path: str):
    """The file's bytes on the cluster, for --send-files: sent once, copied by
    Dask to each worker that needs them."""
    with open(path, "rb") as f:
        return client.scatter(f.read(), hash=False)


def render(effect: str, source: str, output: str, *, sets: Iterable[str] = (),
           animates: Iterable[str] = (), codec: str = "", cpu_level: Optional[int] = None,
           tasks: int = 1, ref: str = "", force: bool = False, client=None,
           range_frames: int = 0, send_files: bool = False, progress: bool = False) -> int:
    """Renders one file on the cluster of `client` (a local cluster when None)
    as `fxhost render EFFECT SOURCE -o OUTPUT` would; a video is split into
    ranges of `range_frames` frames (default: by the number of workers).
    Returns the frames rendered; raises RenderError."""
    settings = Settings(effect, tuple(sets), tuple(animates), codec, cpu_level, tasks, ref)
    _check(settings, source, output, force)
    if client is None:
        with connect() as local:
            return render(effect, source, output, sets=sets, animates=animates, codec=codec,
                          cpu_level=cpu_level, tasks=tasks, ref=ref, force=force, client=local,
                          range_frames=range_frames, send_files=send_files, progress=progress)
    if _ext(output) in IMAGE_OUTPUTS:
        done, _ = render_batch([Item(source, effect, settings.sets,
                                     output=os.path.basename(output))],
                               os.path.dirname(os.path.abspath(output)), client=client,
                               force=force, send_files=send_files, progress=progress,
                               cpu_level=cpu_level, tasks=tasks, ref=ref)
        return done
    info = probe(source)
    _make_effect(settings, info.width, info.height)  # refuses bad values here, not on a worker
    ranges = plan_ranges(info.frames, _workers(client), range_frames)
    job = uuid.uuid4().hex[:12]
    out_ext, output = _ext(output), os.path.abspath(output)
    folder = tempfile.mkdtemp(prefix=f".{os.path.basename(output)}.kzrfx-",
                              dir=os.path.dirname(output))
    try:
        data = (job, _send(client, source)) if send_files else None
        segments = [os.path.join(folder, f"segment-{i:06d}{_segment_ext(out_ext, codec)}")
                    for i in range(len(ranges))]
        topic = f"kzrfx-{job}"
        futures = {i: client.submit(render_range, settings, os.path.abspath(source), info, start,
                                    count, out_ext, "" if send_files else segments[i],
                                    (topic, i), data, key=f"kzrfx-range-{job}-{i}")
                   for i, (start, count) in enumerate(ranges)}
        bar = _Bar(info.frames, "frames", progress)
        results = _gather(client, futures, bar, topic, lambda r: r[0] if send_files else r)
        if send_files:
            for i, (_, segment) in results.items():
                with open(segments[i], "wb") as f:
                    f.write(segment)
        counts = [results[i][0] if send_files else results[i] for i in range(len(ranges))]
        if sum(counts) == 0:
            raise RenderError(f"{source} has no video frames to render")
        kept = [i for i, n in enumerate(counts) if n > 0]  # an empty last range adds nothing
        join([segments[i] for i in kept], [counts[i] for i in kept], info, source, output, force,
             folder)
        return sum(counts)
    except RenderError:
        raise
    except Exception as e:  # noqa: BLE001 - what a worker raised, said in one line
        raise RenderError(_describe(e)) from None
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if send_files:
            try:
                client.run(forget_input, job)
            except Exception:  # noqa: BLE001 - workers that went away took theirs along
                pass


def _default_name(source: str) -> str:
    stem, ext = os.path.splitext(os.path.basename(source))
    if ext.lower() in IMAGE_INPUTS:
        return stem + (ext if ext.lower() in IMAGE_OUTPUTS else ".png")
    return stem + (ext if ext.lower() in VIDEO_OUTPUTS else ".mkv")


def render_batch(items: Sequence[Item], folder: str, *, client=None, force: bool = False,
                 send_files: bool = False, progress: bool = False,
                 cpu_level: Optional[int] = None, tasks: int = 1, ref: str = "") -> Tuple[int, int]:
    """Renders each item, a picture or a whole video, on one worker into
    `folder`.  Outputs already there are skipped (they were moved into place
    complete), unless `force`.  Returns (files rendered, files skipped); the
    first failure stops the batch with RenderError, the finished files stay."""
    if client is None:
        with connect() as local:
            return render_batch(items, folder, client=local, force=force, send_files=send_files,
                                progress=progress, cpu_level=cpu_level, tasks=tasks, ref=ref)
    if not os.path.isdir(folder):
        raise RenderError(f"the output folder {folder} does not exist")
    jobs, outputs, skipped = [], set(), 0
    for item in items:
        output = os.path.abspath(os.path.join(folder, item.output or _default_name(item.input)))
        if output in outputs:
            raise RenderError(f"two files of the batch would be written to {output}; name the "
                              "outputs of files with the same name")
        outputs.add(output)
        if not force and os.path.lexists(output):
            skipped += 1
            continue
        settings = Settings(item.effect, tuple(item.sets), tuple(item.animates), item.codec,
                            cpu_level, tasks, ref)
        _check(settings, item.input, output, True)
        _make_effect(settings, 16, 16)
        jobs.append((settings, os.path.abspath(item.input), output))
    job = uuid.uuid4().hex[:12]
    topic = f"kzrfx-{job}"
    try:
        futures = {i: client.submit(render_file, s, src, out, force, None,
                                    _send(client, src) if send_files else None,
                                    key=f"kzrfx-file-{job}-{i}")
                   for i, (s, src, out) in enumerate(jobs)}
        bar = _Bar(len(jobs), "files", progress)
        results = _gather(client, futures, bar, topic, lambda r: 1)
        if send_files:
            for i, (_, encoded) in results.items():
                _write_bytes(jobs[i][2], encoded, force)
    except RenderError:
        raise
    except Exception as e:  # noqa: BLE001
        raise RenderError(_describe(e)) from None
    return len(jobs), skipped


def expand_inputs(patterns: Iterable[str]) -> List[str]:
    """Files named, or matched by glob patterns, in order, each once."""
    out: List[str] = []
    for p in patterns:
        matches = sorted(glob.glob(p)) if glob.has_magic(p) else [p]
        if not matches:
            raise RenderError(f"no file matches {p}")
        out += [m for m in matches if m not in out]
    return out
