#!/usr/bin/env python3
"""Warps a video with one of the module's effects, frame by frame through
OpenCV, optionally ramping one parameter from the first frame to the last.

    python3 examples/warp_video.py in.mp4 out.avi --effect drain --param degree 1:40
"""
import argparse
import sys

import cv2

import kzrfx


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("input")
    ap.add_argument("output", help="written with OpenCV's MJPG encoder (.avi)")
    ap.add_argument("--effect", default="drain", help="short name, as listed by kzrfx.effects()")
    ap.add_argument("--param", nargs=2, metavar=("NAME", "FROM:TO"),
                    help="a number parameter ramped linearly over the video")
    args = ap.parse_args()

    video = cv2.VideoCapture(args.input)
    if not video.isOpened():
        sys.exit(f"cannot read {args.input}")
    width = int(video.get(cv2.CAP_PROP_FRAME_WIDTH))
    height = int(video.get(cv2.CAP_PROP_FRAME_HEIGHT))
    frames = max(1, int(video.get(cv2.CAP_PROP_FRAME_COUNT)))
    fps = video.get(cv2.CAP_PROP_FPS) or 25
    writer = cv2.VideoWriter(args.output, cv2.VideoWriter_fourcc(*"MJPG"), fps, (width, height))

    fx = kzrfx.Effect(args.effect, width, height)
    ramp = None
    if args.param:
        lo, hi = (float(v) for v in args.param[1].split(":"))
        ramp = (args.param[0], lo, hi)
    i = 0
    while True:
        ok, frame = video.read()
        if not ok:
            break
        if ramp:
            name, lo, hi = ramp
            fx.set(**{name: lo + (hi - lo) * min(1.0, i / max(1, frames - 1))})
        writer.write(fx.apply_bgr(frame))
        i += 1
    writer.release()
    print(f"{i} frames of {width}x{height} warped by {fx.name} into {args.output}")


if __name__ == "__main__":
    main()
