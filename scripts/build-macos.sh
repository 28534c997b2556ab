#!/usr/bin/env bash
# Cross-builds the macOS helper here on Linux: one build tree per architecture
# through cmake/zig-macos.cmake, joined into one universal Mach-O, then checked.
#   scripts/build-macos.sh          -> build-macos/qen-hotkey-helper
# Takes ZIG (default: scripts/fetch-zig.sh, the zig of the Linux release build
# too), MACOS_SDK (default ../shared/macos-sdk) and UTF8PROC_SOURCE_DIR
# (default: Debian's source package) from the environment.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build-macos

sdk=${MACOS_SDK:-}
[ -z "$sdk" ] && [ -d ../shared/macos-sdk ] && sdk=$(cd ../shared/macos-sdk && pwd)
if [ -z "$sdk" ] || [ ! -d "$sdk" ]; then
  echo "build-macos: skipped, no macOS SDK (set MACOS_SDK, or put one at ../shared/macos-sdk)"
  exit 0
fi

scripts/setup.sh llvm-14 >&2
mkdir -p "$out"

# A copy of the SDK with the symbols our link needs that its stubs lack:
# cmake/macos-sdk-supplement/<stub>.tbd lists them under "symbols:" and
# "objc-classes:", and each goes into that list of the stub's exports; and
# with the declarations its headers lack, from <Framework>.h.
merge_stub() {
  awk -v supplement="$1" '
    BEGIN {
      while ((getline line < supplement) > 0) {
        if (line ~ /^#/ || line ~ /^[[:space:]]*$/) continue
        if (line ~ /^[a-z-]+:$/) { key = substr(line, 1, length(line) - 1); continue }
        sub(/^[[:space:]]*- /, "", line)
        items[key] = items[key] "    - " line "\n"
      }
    }
    $0 == "..." { for (k in items) if (!(k in done)) printf "   %s:\n%s", k, items[k] }
    { print }
    /^   [a-z-]+:/ { k = substr($1, 1, length($1) - 1); if (k in items) { printf "%s", items[k]; done[k] = 1 } }
  ' "$2" >"$2.merged" && mv "$2.merged" "$2"
}

merge_sdk() {
  rm -rf "$out/sdk" && cp -r "$sdk" "$out/sdk" && chmod -R u+w "$out/sdk"
  # The SDK's libobjc.tbd names libobjc.A.tbd as text, a link lost on the way.
  ln -sfn libobjc.A.tbd "$out/sdk/usr/lib/libobjc.tbd"
  local supplement stub framework
  for supplement in cmake/macos-sdk-supplement/*.tbd; do
    stub=$(find "$out/sdk" -name "$(basename "$supplement")" | head -n 1)
    [ -n "$stub" ] || { echo "build-macos: no stub for $supplement" >&2; exit 1; }
    merge_stub "$supplement" "$stub"
  done
  # <X>.h goes at the end of the framework's umbrella header, X/X.h.
  for supplement in cmake/macos-sdk-supplement/*.h; do
    framework=$(basename "$supplement" .h)
    [ -d "$out/sdk/System/Library/Frameworks/$framework.framework" ] ||
      { echo "build-macos: no framework for $supplement" >&2; exit 1; }
    mkdir -p "$out/sdk/System/Library/Frameworks/$framework.framework/Headers"
    cat "$supplement" >>"$out/sdk/System/Library/Frameworks/$framework.framework/Headers/$framework.h"
  done
  echo "$out/sdk"
}

zig=${ZIG:-$(scripts/fetch-zig.sh)}
utf8proc=${UTF8PROC_SOURCE_DIR:-$(scripts/fetch-utf8proc.sh "$out/utf8proc")}
merged=$(merge_sdk)
mkdir -p "$out/json"
ln -sfn /usr/include/nlohmann "$out/json/nlohmann"

slices=()
for arch in arm64 x86_64; do
  note=""
  [ -d "$out/$arch" ] || note=" (a first build: zig compiles its libc++, about 100 s)"
  echo "build-macos: $arch$note" >&2
  cmake -S . -B "$out/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/zig-macos.cmake" -DCMAKE_OSX_ARCHITECTURES=$arch \
    -DQEN_ZIG="$zig" -DMACOS_SDK="$merged" -DQEN_ZIG_CACHE_DIR="$out/zig-cache" \
    -DQEN_UTF8PROC_SOURCE_DIR="$utf8proc" -DQEN_JSON_INCLUDE_DIR="$out/json" \
    -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s -DQEN_BUILD_TESTS=OFF >/dev/null
  ninja -C "$out/$arch" qen-hotkey-helper >&2
  slices+=("$out/$arch/qen-hotkey-helper")
done
llvm-lipo-14 -create -output "$out/qen-hotkey-helper" "${slices[@]}"
scripts/check-macos-binary.sh "$out/qen-hotkey-helper"
