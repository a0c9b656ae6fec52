"""Build backend of the vexan package.

setuptools builds the package wherever it can make a wheel: with the `wheel`
package beside it (Debian's python3-wheel) or from setuptools 70.1 on, which
has the step built in. An interpreter of its own (not the distribution's) often
has setuptools without `wheel`, and `pip install --no-build-isolation ./python`
then cannot fetch it. For that case this backend writes the wheel itself: the
package is pure Python, so its wheel is a zip of the package's files with the
metadata beside them (PEP 427), and an editable install is a wheel holding
one .pth file naming the source directory (PEP 660).
"""

import base64
import hashlib
import os
import re
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "vexan"
# Files of the package directory that go into the wheel (as in pyproject.toml's
# package-data): its modules, the typing marker and the libraries copied beside it.
PACKAGE_FILE = re.compile(r"^(.*\.py|py\.typed|libvexan\.so.*|libvexan_od\.so)$")
# The package's version, written from the Vexan project version.
VERSION_FILE = os.path.join(ROOT, PACKAGE, "_version.py")


def _setuptools_can_build_wheels():
    try:
        import setuptools.build_meta  # noqa: F401
    except ImportError:
        return False
    for module in ("setuptools.command.bdist_wheel", "wheel.bdist_wheel"):
        try:
            __import__(module)
            return True
        except ImportError:
            pass
    return False


def package_version(path=VERSION_FILE):
    """The version the package carries: `__version__ = "..."` of vexan/_version.py."""
    match = re.search(r'^__version__\s*=\s*"([^"]+)"\s*$', _read(path), re.M)
    if not match:
        raise RuntimeError(path + ": no __version__ = \"...\" line")
    return match.group(1)


def project_fields(text):
    """The plain `key = "value"` fields of pyproject.toml's [project] table.

    A version that the table lists as dynamic is the one the package carries
    (see package_version), as setuptools reads it.
    """
    fields = {}
    dynamic = []
    section = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line.strip("[]").strip()
            continue
        if section != "project":
            continue
        match = re.match(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', line)
        if match:
            fields[match.group(1)] = match.group(2)
        listed = re.match(r'^dynamic\s*=\s*\[([^\]]*)\]\s*$', line)
        if listed:
            dynamic = re.findall(r'"([^"]*)"', listed.group(1))
    if "version" in dynamic and "version" not in fields:
        fields["version"] = package_version()
    return fields


def _read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def _fields():
    fields = project_fields(_read(os.path.join(ROOT, "pyproject.toml")))
    for key in ("name", "version"):
        if key not in fields:
            raise RuntimeError("pyproject.toml: [project] has no " + key)
    return fields


def _dist_info_name(fields):
    return "{}-{}.dist-info".format(fields["name"], fields["version"])


def _metadata(fields):
    lines = ["Metadata-Version: 2.1", "Name: " + fields["name"], "Version: " + fields["version"]]
    if "description" in fields:
        lines.append("Summary: " + fields["description"])
    if "requires-python" in fields:
        lines.append("Requires-Python: " + fields["requires-python"])
    body = ""
    readme = os.path.join(ROOT, fields.get("readme", "README.md"))
    if os.path.isfile(readme):
        lines.append("Description-Content-Type: text/markdown")
        body = "\n" + _read(readme)
    return "\n".join(lines) + "\n" + body


def _wheel_file():
    return "Wheel-Version: 1.0\nGenerator: vexan_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _metadata_files(fields, editable):
    files = [("METADATA", _metadata(fields).encode("utf-8")), ("WHEEL", _wheel_file().encode("utf-8"))]
    if not editable:
        files.append(("top_level.txt", (PACKAGE + "\n").encode("utf-8")))
    return files


def package_files():
    """(path in the wheel, path on disk) of every file the package ships."""
    found = []
    directory = os.path.join(ROOT, PACKAGE)
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if os.path.isfile(path) and PACKAGE_FILE.match(name):
            found.append((PACKAGE + "/" + name, path))
    return found


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "{},sha256={},{}".format(name, digest, len(data))


def write_wheel(wheel_directory, editable=False):
    """Writes the package's wheel (or its editable wheel); returns its file name."""
    fields = _fields()
    dist_info = _dist_info_name(fields)
    name = "{}-{}-py3-none-any.whl".format(fields["name"].replace("-", "_"), fields["version"])
    entries = []
    if editable:
        entries.append(("__editable__.{}.pth".format(fields["name"]), (ROOT + "\n").encode("utf-8")))
    else:
        for arcname, path in package_files():
            with open(path, "rb") as f:
                entries.append((arcname, f.read()))
    entries += [(dist_info + "/" + file, data) for file, data in _metadata_files(fields, editable)]
    record = [_record_line(arcname, data) for arcname, data in entries]
    record.append(dist_info + "/RECORD,,")
    entries.append((dist_info + "/RECORD", ("\n".join(record) + "\n").encode("utf-8")))
    path = os.path.join(wheel_directory, name)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for arcname, data in entries:
            info = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return name


def write_metadata(metadata_directory, editable=False):
    fields = _fields()
    dist_info = os.path.join(metadata_directory, _dist_info_name(fields))
    os.makedirs(dist_info, exist_ok=True)
    for file, data in _metadata_files(fields, editable):
        with open(os.path.join(dist_info, file), "wb") as f:
            f.write(data)
    return os.path.basename(dist_info)


if _setuptools_can_build_wheels() and not os.environ.get("VEXAN_OWN_WHEEL"):
    from setuptools.build_meta import *  # noqa: F401,F403
else:
    def get_requires_for_build_wheel(config_settings=None):
        return []

    def get_requires_for_build_editable(config_settings=None):
        return []

    def get_requires_for_build_sdist(config_settings=None):
        return []

    def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
        return write_metadata(metadata_directory)

    def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
        return write_metadata(metadata_directory, editable=True)

    def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
        return write_wheel(wheel_directory)

    def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
        return write_wheel(wheel_directory, editable=True)

    def build_sdist(sdist_directory, config_settings=None):
        from setuptools.build_meta import build_sdist as setuptools_sdist
        return setuptools_sdist(sdist_directory, config_settings)
