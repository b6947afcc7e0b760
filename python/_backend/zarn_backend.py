# SPDX-License-Identifier: MIT
"""A PEP 517 build backend for the zarn package, in the standard library only.

pip builds the wheel with it offline: pyproject.toml asks for no build
requirements, so nothing is fetched. A pure-Python wheel is a zip of the
package with a dist-info folder (METADATA, WHEEL, RECORD).

Also run by CMake to write the dist-info of an install:
    python3 zarn_backend.py dist-info OUTDIR INSTALLER
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent  # python/
# Zip entries get one fixed time, so the same sources give the same wheel.
_EPOCH = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))  # 1980-01-01


def _project() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _names() -> tuple[str, str]:
    p = _project()
    return p["name"], p["version"]


def _dist_info() -> str:
    name, version = _names()
    return f"{name}-{version}.dist-info"


def _metadata() -> bytes:
    p = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {p['name']}",
        f"Version: {p['version']}",
        f"Summary: {p.get('description', '')}",
    ]
    if "requires-python" in p:
        lines.append(f"Requires-Python: {p['requires-python']}")
    if "license" in p:
        lines.append(f"License: {p['license'].get('text', '')}")
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    lines += [f"Requires-Dist: {d}" for d in p.get("dependencies", [])]
    for extra, deps in p.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in deps]
    return ("\n".join(lines) + "\n").encode()


_WHEEL = b"Wheel-Version: 1.0\nGenerator: zarn_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _package_files() -> list[tuple[str, bytes]]:
    """(archive path, contents) of every file of the package."""
    out = []
    for path in sorted((ROOT / "zarn").rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix in (".py", ".typed"):
            out.append((path.relative_to(ROOT).as_posix(), path.read_bytes()))
    return out


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _dist_info_files(files: list[tuple[str, bytes]], extra: list[tuple[str, bytes]]) -> list[tuple[str, bytes]]:
    """The dist-info files for a wheel or an install of files, RECORD last."""
    info = _dist_info()
    meta = [(f"{info}/METADATA", _metadata()), (f"{info}/WHEEL", _WHEEL)]
    meta += [(f"{info}/{n}", d) for n, d in extra]
    record = [_record_line(n, d) for n, d in files + meta] + [f"{info}/RECORD,,"]
    return meta + [(f"{info}/RECORD", ("\n".join(record) + "\n").encode())]


def _write_wheel(directory: str, files: list[tuple[str, bytes]]) -> str:
    name, version = _names()
    filename = f"{name}-{version}-py3-none-any.whl"
    stamp = _zip_time()
    with zipfile.ZipFile(Path(directory) / filename, "w", zipfile.ZIP_DEFLATED) as whl:
        for arcname, data in files + _dist_info_files(files, []):
            entry = zipfile.ZipInfo(arcname, stamp)
            entry.external_attr = 0o644 << 16
            whl.writestr(entry, data, zipfile.ZIP_DEFLATED)
    return filename


def _zip_time() -> tuple[int, int, int, int, int, int]:
    import time

    t = time.gmtime(max(_EPOCH, 315532800))
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


def _write_metadata_dir(directory: str) -> str:
    info = _dist_info()
    target = Path(directory) / info
    target.mkdir(parents=True, exist_ok=True)
    (target / "METADATA").write_bytes(_metadata())
    (target / "WHEEL").write_bytes(_WHEEL)
    return info


# ---- PEP 517 and PEP 660 hooks ----


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _write_metadata_dir(metadata_directory)


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return _write_metadata_dir(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _package_files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth file puts this source folder on the path.
    return _write_wheel(wheel_directory, [("zarn_editable.pth", f"{ROOT}\n".encode())])


def build_sdist(sdist_directory, config_settings=None):
    name, version = _names()
    base = f"{name}-{version}"
    filename = f"{base}.tar.gz"
    members = [("pyproject.toml", (ROOT / "pyproject.toml").read_bytes()), ("PKG-INFO", _metadata())]
    members += [(n, d) for n, d in _package_files()]
    members.append(("_backend/zarn_backend.py", Path(__file__).read_bytes()))
    with tarfile.open(Path(sdist_directory) / filename, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for arcname, data in members:
            entry = tarfile.TarInfo(f"{base}/{arcname}")
            entry.size, entry.mtime, entry.mode = len(data), _EPOCH, 0o644
            tar.addfile(entry, io.BytesIO(data))
    return filename


def _install_dist_info(outdir: str, installer: str) -> None:
    """Writes the dist-info of an install of the package files into outdir."""
    for arcname, data in _dist_info_files(_package_files(), [("INSTALLER", f"{installer}\n".encode())]):
        path = Path(outdir) / arcname
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "dist-info":
        _install_dist_info(sys.argv[2], sys.argv[3])
    else:
        sys.exit("usage: zarn_backend.py dist-info OUTDIR INSTALLER")
