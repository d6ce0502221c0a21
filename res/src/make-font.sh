#!/usr/bin/env bash
# Builds res/font.otf: Noto Sans CJK SC (SIL OFL 1.1, Debian package fonts-noto-cjk) cut down to
# printable ASCII, CJK punctuation, full-width forms and the 3755 hanzi of GB 2312 level 1, plus
# every character the interface itself uses, so the program stays small and every text renders.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
src=/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc
chars=$(mktemp)
/usr/bin/python3 - "$root" > "$chars" <<'PY'
import pathlib, sys
root = pathlib.Path(sys.argv[1])
s = set(chr(c) for c in range(0x20, 0x7f))
s |= set(chr(c) for c in range(0x3000, 0x3040))   # CJK punctuation
s |= set(chr(c) for c in range(0xff00, 0xfff0))   # full-width forms
for hi in range(0xb0, 0xd8):
    for lo in range(0xa1, 0xff):
        try:
            s.add(bytes([hi, lo]).decode('gb2312'))
        except UnicodeDecodeError:
            pass
for p in list(root.glob('*/*.cpp')) + list(root.glob('*/*.ui')) + list(root.glob('*/*.h')):
    s |= set(p.read_text(encoding='utf-8', errors='ignore'))
print(''.join(sorted(c for c in s if c.isprintable())))
PY
/usr/bin/python3 -m fontTools.subset "$src" --font-number=2 --text-file="$chars" \
    --output-file="$root/res/img/font.otf" --layout-features='*' --no-hinting
rm -f "$chars"
ls -l "$root/res/img/font.otf"
