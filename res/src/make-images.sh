#!/usr/bin/env bash
# Renders the hand-written SVG sources in this directory to the PNGs under res/img that the
# resource file compiles in. Needs rsvg-convert (Debian package librsvg2-bin) and, for the words
# on the payment badge, the Noto Sans CJK SC font (Debian package fonts-noto-cjk).
# The build does not run this; the PNGs are committed. Run it after editing an SVG.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(cd "$here/../img" && pwd)

render() { # source width height [output name]
    local name=${4:-$1}
    rsvg-convert --width "$2" --height "$3" --output "$out/$name.png" "$here/$1.svg"
}

# Window and tray icon; Windows and the tray scale it down themselves.
render mark 1024 1024 logo1024
# The Windows program icon (Explorer, taskbar): the mark at the sizes the shell asks for.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 24 32 48 64 256; do
    rsvg-convert --width $size --height $size --output "$tmp/$size.png" "$here/mark.svg"
done
"$here/pack-ico.py" "$out/borvane.ico" "$tmp"/{16,24,32,48,64,256}.png
# Lockups for the form headers: blue on white, and white for the dark/blue forms.
render logo 216 56
render logo_white 216 56
# Card labels shown at their natural size next to 12-14 px text.
render client_host_icon 24 24
render server_host_icon 24 24
# Push-button icons: drawn at twice the default 16 px icon size, so they stay sharp when scaled.
for name in rizhi1 edit tip warning; do
    render "$name" 32 32
done
# Home window labels beside the group, customer-service and share buttons.
for name in qq share service; do
    render "$name" 32 32
done
# Empty-list illustration and the payment badge, shown 1:1.
render 404 200 160
render alipay 120 40
