"""A build backend (PEP 517) for the module korvane, standard library
only: a wheel of korvane/*.py and korvane/codes.py, the latter written
from the C header of the protocol's numbers as the CMake build does. The
header is $VK_CODES_H, or ../src/base/korvane_codes.h beside this
directory; a korvane/codes.py already in the package (the CMake build
tree's copy) is taken as it is. Metadata come from pyproject.toml."""

import base64
import hashlib
import os
import sys
import tomllib
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "korvane"


def _project():
    with open(os.path.join(HERE, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def _codes():
    built = os.path.join(HERE, PACKAGE, "codes.py")
    if os.path.exists(built):
        with open(built, "rb") as f:
            return f.read()
    header = os.environ.get("VK_CODES_H") or os.path.join(HERE, "..", "src", "base",
                                                          "korvane_codes.h")
    if not os.path.exists(header):
        raise FileNotFoundError("%s not found: set VK_CODES_H to korvane_codes.h" % header)
    sys.path.insert(0, HERE)
    import gen_codes  # pylint: disable=import-outside-toplevel
    with open(header, encoding="utf-8") as f:
        return gen_codes.render(f.read(), header).encode()


def _files():
    """(path in the wheel, bytes) of the package."""
    files = []
    for name in sorted(os.listdir(os.path.join(HERE, PACKAGE))):
        if name.endswith(".py") and name != "codes.py":
            with open(os.path.join(HERE, PACKAGE, name), "rb") as f:
                files.append((PACKAGE + "/" + name, f.read()))
    files.append((PACKAGE + "/codes.py", _codes()))
    return files


def _metadata(project):
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: %s\n" %
            (project["name"], project["version"], project["description"],
             project["requires-python"])).encode()


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (path, digest, len(data))


def _dist_info(project):
    return "%s-%s.dist-info" % (project["name"], project["version"])


def _write_dist_info(directory, project):
    info = os.path.join(directory, _dist_info(project))
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "wb") as f:
        f.write(_metadata(project))
    return _dist_info(project)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    info = _dist_info(project)
    files = _files() + [
        (info + "/METADATA", _metadata(project)),
        (info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: korvane build_backend\n"
                          b"Root-Is-Purelib: true\nTag: py3-none-any\n"),
        (info + "/top_level.txt", (PACKAGE + "\n").encode()),
    ]
    name = "%s-%s-py3-none-any.whl" % (project["name"], project["version"])
    record = "".join(_record_line(p, d) for p, d in files) + info + "/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as whl:
        for path, data in files:
            whl.writestr(path, data)
        whl.writestr(info + "/RECORD", record)
    return name


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _write_dist_info(metadata_directory, _project())


def get_requires_for_build_wheel(config_settings=None):
    return []
