# SPDX-License-Identifier: MIT
"""Installing the package: pip offline (no index at all: the in-tree backend
needs nothing to be fetched), and CMake only when asked."""

from __future__ import annotations

import base64
import hashlib
import os
import sys
import zipfile
from pathlib import Path

from conftest import run, tool

PACKAGE = Path(__file__).resolve().parents[2] / "python"
PACKAGE_FILES = sorted(p.name for p in (PACKAGE / "zarn").iterdir() if p.suffix in (".py", ".typed"))


def imported_from(site: Path) -> list[str]:
    """Where a fresh interpreter with only site on its path finds zarn, and its metadata."""
    code = (
        "import importlib.metadata as m, zarn; "
        "print(zarn.__file__); print(m.version('zarn')); print(zarn.Status.from_byte(4).text)"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    result = run([sys.executable, "-c", code], env={**env, "PYTHONPATH": str(site)}, cwd="/")
    assert result.returncode == 0, result.stderr
    return result.stdout.split("\n")


def test_pip_installs_offline(tmp_path):
    offline = {**os.environ, "PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PIP_NO_CACHE_DIR": "1"}
    target = tmp_path / "site"
    installed = run([sys.executable, "-m", "pip", "install", "--no-index", "--target", str(target), str(PACKAGE)], env=offline)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    where, version, words = imported_from(target)[:3]
    assert (where, version, words) == (str(target / "zarn" / "__init__.py"), "1.0.0", "paper out")
    assert sorted(p.name for p in (target / "zarn").iterdir() if p.name != "__pycache__") == PACKAGE_FILES

    # The wheel pip installed, made by the backend's own hook.
    sys.path.insert(0, str(PACKAGE / "_backend"))
    try:
        import zarn_backend
    finally:
        sys.path.pop(0)
    assert zarn_backend.get_requires_for_build_wheel() == []
    wheel = zarn_backend.build_wheel(str(tmp_path))
    with zipfile.ZipFile(tmp_path / wheel) as whl:
        names = whl.namelist()
        record = whl.read("zarn-1.0.0.dist-info/RECORD").decode()
        for line in record.splitlines():
            name, digest, size = line.split(",")
            if digest:  # RECORD lists itself without one
                data = whl.read(name)
                want = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
                assert (digest, int(size)) == (f"sha256={want}", len(data)), name
    assert wheel == "zarn-1.0.0-py3-none-any.whl"
    assert sorted(n for n in names if n.startswith("zarn/")) == [f"zarn/{n}" for n in PACKAGE_FILES]
    assert sorted(line.split(",")[0] for line in record.splitlines()) == sorted(names)


def test_pip_installs_editable_into_a_venv_offline(tmp_path):
    venv = tmp_path / "venv"
    made = run([sys.executable, "-m", "venv", str(venv)])
    assert made.returncode == 0, made.stderr
    offline = {**os.environ, "PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
    installed = run([str(venv / "bin" / "pip"), "install", "--no-index", "-e", str(PACKAGE)], env=offline)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    found = run([str(venv / "bin" / "python"), "-c", "import zarn; print(zarn.__file__)"], env=env, cwd="/")
    assert found.stdout.strip() == str(PACKAGE / "zarn" / "__init__.py"), found.stderr


def cmake_install(tmp_path: Path, *options: str) -> Path:
    build, prefix = tmp_path / "build", tmp_path / "prefix"
    cmake = tool("ZARN_CMAKE")
    for argv in (
        [cmake, "-S", str(PACKAGE), "-B", str(build), f"-DCMAKE_INSTALL_PREFIX={prefix}", *options],
        [cmake, "--build", str(build)],
        [cmake, "--install", str(build)],
    ):
        result = run(argv)
        assert result.returncode == 0, result.stdout + result.stderr
    return prefix


def test_cmake_installs_into_site_packages_only_when_asked(tmp_path):
    assert not (cmake_install(tmp_path / "off")).exists()
    prefix = cmake_install(tmp_path / "on", "-DZARN_INSTALL_PYTHON=ON")
    (init,) = prefix.glob("lib/python3*/*-packages/zarn/__init__.py")
    site = init.parent.parent
    assert site.name == ("dist-packages" if any(p.endswith("dist-packages") for p in sys.path) else "site-packages")
    where, version, _ = imported_from(site)[:3]
    assert (where, version) == (str(init), "1.0.0")
    assert (site / "zarn-1.0.0.dist-info" / "INSTALLER").read_text() == "cmake\n"
