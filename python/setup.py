"""Builds the reliefkit shared library with CMake (when it is not built yet) and
packages a copy of it inside the Python package, so that the installed package
needs neither an environment variable nor a system-wide library.

The copy is laid out as an installation prefix inside the package
(reliefkit/_native/lib/libreliefkit.so.0, and libexec/reliefkit/ beside lib/ when
the library installs helper programs there), so that whatever the library finds
relative to its own file is found in the package too.
"""

import os
import shutil
import subprocess
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
BUILD = REPO / "build" / "python"
STAGE = BUILD / "stage"
SONAME = "libreliefkit.so.0"


def run(*command):
    print("+", " ".join(str(c) for c in command), flush=True)
    subprocess.run([str(c) for c in command], check=True)


def build_library():
    if not (REPO / "core" / "reliefkit.h").is_file():
        raise SystemExit(f"reliefkit: the library's sources are not at {REPO}; install the "
                         "package from the repository's python/ folder")
    if shutil.which("cmake") is None:
        raise SystemExit("reliefkit: building the library needs cmake (apt-get install cmake "
                         "build-essential pkg-config libpng-dev libdeflate-dev libjpeg62-turbo-dev "
                         "libjxr-dev libseccomp-dev zlib1g-dev libkissfft-dev libopenexr-dev)")
    configure = ["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                 "-DRELIEFKIT_BUILD_TESTS=OFF", "-DRELIEFKIT_BUILD_CLI=OFF",
                 "-DCMAKE_INSTALL_LIBDIR=lib", "-DCMAKE_INSTALL_LIBEXECDIR=libexec"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    if not (BUILD / "CMakeCache.txt").is_file():
        run(*configure)
    # Incremental: a library that is already built and up to date costs nothing more.
    run("cmake", "--build", BUILD, "-j", str(os.cpu_count() or 1))
    if STAGE.exists():
        shutil.rmtree(STAGE)
    run("cmake", "--install", BUILD, "--prefix", STAGE)


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        build_library()
        native = Path(self.build_lib) / "reliefkit" / "_native"
        if native.exists():
            shutil.rmtree(native)
        (native / "lib").mkdir(parents=True)
        # One real file under the soname: a wheel cannot carry the symlinks.
        shutil.copy2(STAGE / "lib" / SONAME, native / "lib" / SONAME, follow_symlinks=True)
        if (STAGE / "libexec" / "reliefkit").is_dir():
            shutil.copytree(STAGE / "libexec" / "reliefkit", native / "libexec" / "reliefkit")


class BinaryDistribution(Distribution):
    """The package carries a compiled library, so its wheel is tied to the platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
