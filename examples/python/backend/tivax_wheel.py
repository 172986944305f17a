# SPDX-License-Identifier: MIT
"""The build backend of the tivax package (PEP 517, and PEP 660 for
`pip install -e`).

The package is one pure-Python module, so its wheel is a zip of that module
and its metadata. Building it here, with the standard library alone, is
what lets `pip install` work offline in a fresh virtual environment: the
backend needs nothing that pip would have to download.

The metadata comes from the [project] table of pyproject.toml; the version
from __version__ in tivax/__init__.py.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from typing import Dict, List, Optional, Tuple

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "tivax"
_PACKAGE_FILES = ("__init__.py", "py.typed")
_SDIST_FILES = ("pyproject.toml", "backend/tivax_wheel.py", "tests/test_tivax.py", "consulta_status.py")
_TAG = "py3-none-any"


def _project() -> Dict[str, object]:
    with open(os.path.join(_ROOT, "pyproject.toml"), "rb") as f:
        text = f.read().decode("utf-8")
    try:
        import tomllib
    except ImportError:  # Python before 3.11: the few plain keys this file uses
        table = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
        body = table.group(1) if table else ""
        return {k: v for k, v in re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', body, re.M)}
    return dict(tomllib.loads(text)["project"])


def _version() -> str:
    with open(os.path.join(_ROOT, _PACKAGE, "__init__.py"), encoding="utf-8") as f:
        found = re.search(r'^__version__ = "([^"]+)"$', f.read(), re.M)
    if not found:
        raise RuntimeError("tivax/__init__.py has no __version__")
    return found.group(1)


def _metadata() -> Tuple[str, str, str]:
    """The distribution's name, version and METADATA text."""
    project = _project()
    name, version = str(project["name"]), _version()
    lines = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    licence = project.get("license")
    if isinstance(licence, dict) and "text" in licence:
        lines.append(f"License: {licence['text']}")
    for classifier in project.get("classifiers", []) or []:
        lines.append(f"Classifier: {classifier}")
    return name, version, "\n".join(lines) + "\n"


def _dist_info(name: str, version: str) -> str:
    return f"{name}-{version}.dist-info"


def _dist_info_files(metadata: str) -> List[Tuple[str, bytes]]:
    wheel = f"Wheel-Version: 1.0\nGenerator: tivax_wheel\nRoot-Is-Purelib: true\nTag: {_TAG}\n"
    return [("METADATA", metadata.encode("utf-8")), ("WHEEL", wheel.encode("utf-8"))]


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{path},sha256={digest},{len(data)}"


def _write_wheel(directory: str, entries: List[Tuple[str, bytes]]) -> str:
    name, version, metadata = _metadata()
    info = _dist_info(name, version)
    entries = entries + [(f"{info}/{n}", d) for n, d in _dist_info_files(metadata)]
    record = "\n".join([_record_line(p, d) for p, d in entries] + [f"{info}/RECORD,,"]) + "\n"
    entries.append((f"{info}/RECORD", record.encode("utf-8")))
    filename = f"{name}-{version}-{_TAG}.whl"
    with zipfile.ZipFile(os.path.join(directory, filename), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            # Fixed times and modes: the same sources give the same wheel.
            member = zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0))
            member.external_attr = 0o644 << 16
            wheel.writestr(member, data, zipfile.ZIP_DEFLATED)
    return filename


def _package_entries() -> List[Tuple[str, bytes]]:
    entries = []
    for filename in _PACKAGE_FILES:
        with open(os.path.join(_ROOT, _PACKAGE, filename), "rb") as f:
            entries.append((f"{_PACKAGE}/{filename}", f.read()))
    return entries


# ---- PEP 517 ------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str,
                                     config_settings: Optional[dict] = None) -> str:
    name, version, metadata = _metadata()
    info = _dist_info(name, version)
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    for filename, data in _dist_info_files(metadata):
        with open(os.path.join(metadata_directory, info, filename), "wb") as f:
            f.write(data)
    return info


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(wheel_directory, _package_entries())


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    name, version, metadata = _metadata()
    base = f"{name}-{version}"
    members = [(f"{_PACKAGE}/{f}", os.path.join(_ROOT, _PACKAGE, f)) for f in _PACKAGE_FILES]
    members += [(f, os.path.join(_ROOT, f)) for f in _SDIST_FILES]
    filename = f"{base}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for arcname, path in members:
            if os.path.exists(path):
                sdist.add(path, arcname=f"{base}/{arcname}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = metadata.encode("utf-8")
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return filename


# ---- PEP 660 ------------------------------------------------------------------

def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def prepare_metadata_for_build_editable(metadata_directory: str,
                                        config_settings: Optional[dict] = None) -> str:
    return prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    # A path file: the interpreter imports the module from this folder.
    return _write_wheel(wheel_directory, [(f"_{_PACKAGE}_editable.pth", (_ROOT + "\n").encode("utf-8"))])
