"""Build hook: a wheel that carries the helper binary named by
QEN_WHEEL_PLATFORM and QEN_WHEEL_BINARY (as scripts/pack-python.sh sets them),
tagged for that platform. Without them the wheel carries none and is
py3-none-any, for hosts that bring their own binary."""
import os

from hatchling.builders.hooks.plugin.interface import BuildHookInterface

# Release binaries' folders and the platform each one's tag promises: the
# Linux ones need glibc 2.17 at most (manylinux2014), the Mac one is universal
# for macOS 11 and later, the Windows ones are for 64-bit Windows on x64 and
# on arm64.
PLATFORM_TAGS = {
    "linux-x64": "manylinux2014_x86_64",
    "linux-arm64": "manylinux2014_aarch64",
    "darwin-universal": "macosx_11_0_universal2",
    "win32-x64": "win_amd64",
    "win32-arm64": "win_arm64",
}


class CustomBuildHook(BuildHookInterface):
    def initialize(self, version, build_data):
        platform = os.environ.get("QEN_WHEEL_PLATFORM")
        binary = os.environ.get("QEN_WHEEL_BINARY")
        if not platform and not binary:
            return
        if platform not in PLATFORM_TAGS or not binary or not os.path.isfile(binary):
            raise ValueError(f"QEN_WHEEL_PLATFORM must be one of {', '.join(PLATFORM_TAGS)} "
                             f"and QEN_WHEEL_BINARY an existing file; they are {platform!r} "
                             f"and {binary!r}")
        build_data["pure_python"] = False
        build_data["tag"] = f"py3-none-{PLATFORM_TAGS[platform]}"
        name = "qen-hotkey-helper.exe" if platform.startswith("win32-") else "qen-hotkey-helper"
        build_data["force_include"][binary] = f"qen_hotkey_helper/bin/{name}"
