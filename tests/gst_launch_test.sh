#!/usr/bin/env bash
# zelresample through gst-launch-1.0: GStreamer finds it, and a tee's two branches, the input and what the element
# made of it, must match the C API's output (the resample_raw example: high quality, float32), bit for bit.
# usage: gst_launch_test.sh RESAMPLE_RAW   (with GST_PLUGIN_PATH holding the plugin)
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gst-inspect-1.0 zelresample > /dev/null
gst-launch-1.0 -q audiotestsrc num-buffers=40 wave=pink-noise ! audio/x-raw,format=F32LE,rate=44100,channels=2 \
    ! tee name=t ! queue ! filesink location="$work/in.f32" \
    t. ! queue ! zelresample ! audio/x-raw,rate=48000 ! filesink location="$work/out.f32"
"$1" 44100 48000 2 < "$work/in.f32" | cmp - "$work/out.f32"
