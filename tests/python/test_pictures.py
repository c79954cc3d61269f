"""fxhost reading pictures from anywhere: each format, 8 and 16 bits, alpha,
the EXIF orientation and an embedded colour profile, compared through
fxhost render with the expected pixels saved as a plain PNG; headers that
claim too much are refused from the header, under a small address-space
limit that any large allocation would break."""

import resource
import struct
import zlib

import cv2
import numpy as np
import pytest
from fxtest import fxhost, png, read

W, H = 48, 27


def picture(dtype=np.uint8):
    """Four coloured quadrants over a gradient, the right half half-transparent:
    any turn, flip, swapped channel or dropped alpha shows."""
    y, x = np.mgrid[0:H, 0:W]
    top = 2 * y < H
    img = np.stack([np.where(top, 0.9, 0.1) * (x / W), np.where(2 * x < W, 0.8, 0.3),
                    np.where(top, 0.2, 0.7) + 0.2 * (y / H), np.where(2 * x < W, 1.0, 0.5)], -1)
    return np.round(img * np.iinfo(dtype).max).astype(dtype)


def encoded(ext, pixels, *params):
    if pixels.ndim == 3:
        pixels = cv2.cvtColor(pixels, cv2.COLOR_RGBA2BGRA if pixels.shape[2] == 4 else
                              cv2.COLOR_RGB2BGR)
    return cv2.imencode(ext, pixels, list(params))[1].tobytes()


def opaque(rgb):
    return np.dstack([rgb, np.full(rgb.shape[:2], 255, np.uint8)])


def tga(pixels):
    """Uncompressed 32-bit TGA, top row first."""
    return struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, W, H, 32, 0x28) + \
        pixels[..., [2, 1, 0, 3]].tobytes()


def with_orientation(jpeg, value):
    """The JPEG with an EXIF block holding only the orientation tag."""
    tiff = b"II*\0" + struct.pack("<IHHHIHHI", 8, 1, 0x0112, 3, 1, value, 0, 0)
    app1 = b"Exif\0\0" + tiff
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:]


# EXIF orientation -> what turns the stored picture upright.
TURNS = {1: lambda a: a, 2: np.fliplr, 3: lambda a: np.rot90(a, 2), 4: np.flipud,
         5: lambda a: a.transpose(1, 0, 2), 6: lambda a: np.rot90(a, -1),
         7: lambda a: np.rot90(a, 2).transpose(1, 0, 2), 8: lambda a: np.rot90(a, 1)}


def swapped_profile():
    """An RGB matrix profile whose red and green colorants are sRGB's green and
    red, with sRGB's curve: converted to sRGB, red and green trade places."""
    s15 = lambda *v: struct.pack(f">{len(v)}i", *(round(x * 65536) for x in v))
    xyz = lambda *v: b"XYZ \0\0\0\0" + s15(*v)
    curve = b"para\0\0\0\0" + struct.pack(">HH", 3, 0) + s15(2.4, 1 / 1.055, 0.055 / 1.055,
                                                             1 / 12.92, 0.04045)
    tags = [(b"rXYZ", xyz(0.3851, 0.7169, 0.0971)), (b"gXYZ", xyz(0.4361, 0.2225, 0.0139)),
            (b"bXYZ", xyz(0.1431, 0.0606, 0.7141)), (b"wtpt", xyz(0.9642, 1.0, 0.8249)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    offset, table, data = 128 + 4 + 12 * len(tags), b"", b""
    for sig, body in tags:
        table += sig + struct.pack(">II", offset + len(data), len(body))
        data += body + b"\0" * (-len(body) % 4)
    size = offset + len(data)
    header = struct.pack(">I4sI4s4s4s12s4s", size, b"none", 0x02100000, b"mntr", b"RGB ",
                         b"XYZ ", b"\0" * 12, b"acsp") + b"\0" * 28 + s15(0.9642, 1.0, 0.8249)
    return header + b"\0" * (128 - len(header)) + struct.pack(">I", len(tags)) + table + data


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def with_profile(png_bytes, profile):
    iccp = chunk(b"iCCP", b"swapped\0\0" + zlib.compress(profile))
    return png_bytes[:33] + iccp + png_bytes[33:]


P8, P16 = picture(), picture(np.uint16)
JPEG = encoded(".jpg", P8[..., :3], cv2.IMWRITE_JPEG_QUALITY, 90)
JPEG_PIXELS = opaque(cv2.cvtColor(cv2.imdecode(np.frombuffer(JPEG, np.uint8), cv2.IMREAD_COLOR),
                                  cv2.COLOR_BGR2RGB))

# name, file bytes, the pixels expected, the largest difference allowed, and
# what fxhost must say about it
CASES = [(*c, "") for c in [
    ("8-bit RGBA.png", png(P8), P8, 0),
    ("16-bit RGBA.png", png(P16), (P16 >> 8).astype(np.uint8), 0),
    ("grey.png", png(P8[..., 0]), opaque(np.dstack([P8[..., 0]] * 3)), 0),
    ("lossless RGBA.webp", encoded(".webp", P8, cv2.IMWRITE_WEBP_QUALITY, 101), P8, 0),
    ("RGBA.tif", encoded(".tif", P8), P8, 0),
    ("16-bit RGB.tif", encoded(".tif", P16[..., :3]), opaque((P16[..., :3] >> 8).astype(np.uint8)),
     0),
    ("RGB.bmp", encoded(".bmp", P8[..., :3]), opaque(P8[..., :3]), 0),
    ("RGBA.tga", tga(P8), P8, 0),
    ("swapped profile.png", with_profile(png(P8), swapped_profile()), P8[..., [1, 0, 2, 3]], 2),
] + [(f"orientation {o}.jpg", with_orientation(JPEG, o), TURNS[o](JPEG_PIXELS), 1)
     for o in TURNS]] + [
    ("broken profile.png", with_profile(png(P8), b"no profile"), P8, 0,
     "colour profile cannot be used (iCCP"),
]


@pytest.mark.parametrize("name,data,want,tolerance,note", CASES, ids=[c[0] for c in CASES])
def test_each_format_is_read_upright_in_srgb_with_its_alpha(tmp_path, name, data, want, tolerance,
                                                             note):
    src, ref = tmp_path / f"in{name[name.rindex('.'):]}", tmp_path / "ref.png"
    src.write_bytes(data)
    ref.write_bytes(png(np.ascontiguousarray(want)))
    outs = []
    for path in (src, ref):
        out = tmp_path / f"out-{path.stem}.png"
        r = fxhost("render", "drain", path, "-o", out, "--set", "Degree=20", check=False)
        said = note if path == src else ""
        assert r.returncode == 0 and said in r.stderr and bool(said) == bool(r.stderr), r.stderr
        outs.append(read(out).astype(int))
    assert outs[0].shape == outs[1].shape
    assert np.abs(outs[0] - outs[1]).max() <= tolerance


def huge_png(w, h):
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 16, 6, 0, 0, 0)) + \
        chunk(b"IDAT", zlib.compress(b"\0" * 64)) + chunk(b"IEND", b"")


def patched(data, at, fmt, *values):
    data = bytearray(data)
    data[at:at + struct.calcsize(fmt)] = struct.pack(fmt, *values)
    return bytes(data)


SOF = JPEG.index(b"\xff\xc0")
TIFF = encoded(".tif", P8)
# name, file bytes, extra options, what the one line must name
REFUSED = [
    ("huge.png", huge_png(60000, 60000), [], ["60000x60000", "65536 pixels a side", "2048 MiB"]),
    ("wide.png", huge_png(70000, 1), [], ["70000x1", "65536 pixels a side"]),
    ("huge.jpg", patched(JPEG, SOF + 5, ">HH", 60000, 60000), [], ["60000x60000"]),
    ("huge.tif", TIFF.replace(struct.pack("<HHIHH", 256, 3, 1, W, 0),
                              struct.pack("<HHII", 256, 4, 1, 70000)), [], ["70000x27"]),
    ("huge.bmp", patched(encoded(".bmp", P8[..., :3]), 18, "<ii", 60000, -60000), [],
     ["60000x60000"]),
    ("huge.tga", patched(tga(P8), 12, "<HH", 65535, 65535), [], ["65535x65535"]),
    ("limited.webp", encoded(".webp", np.zeros((1024, 1024, 4), np.uint8),
                             cv2.IMWRITE_WEBP_QUALITY, 101),
     ["--max-memory", "1"], ["1024x1024", "8 MiB", "1 MiB (--max-memory)"]),
    # Formats libvips could open but fxhost does not hand it.
    ("drawing.svg.png", b'<svg xmlns="http://www.w3.org/2000/svg" width="9" height="9"/>', [],
     ["not a PNG, JPEG, WebP, TIFF, BMP or TGA picture"]),
    ("paper.pdf.jpg", b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n", [], ["not a PNG, JPEG"]),
    ("anim.gif.png", b"GIF89a\x01\x00\x01\x00\x00\x00\x00;", [], ["not a PNG, JPEG"]),
]


def small_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


@pytest.mark.parametrize("name,data,options,parts", REFUSED, ids=[c[0] for c in REFUSED])
def test_a_picture_too_large_or_of_another_kind_is_refused_from_its_header(tmp_path, name, data,
                                                                          options, parts):
    (tmp_path / name).write_bytes(data)
    r = fxhost("render", "drain", tmp_path / name, "-o", tmp_path / "out.png", *options,
               check=False, timeout=20, preexec_fn=small_address_space)
    lines = r.stderr.splitlines()
    assert r.returncode == 1 and len(lines) == 1 and all(p in lines[0] for p in parts), r.stderr
    assert not (tmp_path / "out.png").exists()
