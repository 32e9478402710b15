"""Packs a Windows wheel from a cross-built .pyd, the stubs and the plug-in, as pyproject.toml describes it.

    windows_wheel.py --pyd build/.../vorel_pythoncan_ext.pyd --tag cp313-cp313t-win_arm64 --out DIR

The simulated adapters' package (vorel_sim) stays out: its shared bus is POSIX-only.
delvewheel then bundles libusb into the result.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import os
import sys
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "src", "pythoncan", "vorel_pythoncan_ext.pyi")


def metadata(project: dict) -> str:
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}",
             f"Summary: {project['description']}", f"License: {project['license']['text']}",
             f"Requires-Python: {project['requires-python']}"]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines += ["Classifier: Operating System :: Microsoft :: Windows"]
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    lines += ["Description-Content-Type: text/markdown", ""]
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        return "\n".join(lines) + "\n" + f.read()


def entry_points(project: dict) -> str:
    out = []
    for group, entries in project.get("entry-points", {}).items():
        out.append(f"[{group}]")
        out += [f"{k} = {v}" for k, v in entries.items()]
        out.append("")
    return "\n".join(out)


def files(pyd: str) -> list[tuple[str, bytes]]:
    def read(path: str) -> bytes:
        with open(path, "rb") as f:
            return f.read()
    out = [("vorel_pythoncan_ext.pyd", read(pyd)), ("vorel_pythoncan_ext.pyi", read(STUB)),
           ("vorel_pythoncan_ext-stubs/__init__.pyi", read(STUB))]
    package = os.path.join(ROOT, "can_vorel")
    for name in sorted(os.listdir(package)):
        if name.endswith(".py") or name == "py.typed":
            out.append((f"can_vorel/{name}", read(os.path.join(package, name))))
    return out


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pyd", required=True)
    parser.add_argument("--tag", required=True, help="python-abi-platform, e.g. cp313-cp313t-win_arm64")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    dist = f"{project['name'].replace('-', '_')}-{project['version']}"
    info = f"{dist}.dist-info"
    content = files(args.pyd) + [
        (f"{info}/METADATA", metadata(project).encode()),
        (f"{info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: vorel windows_wheel\nRoot-Is-Purelib: false\n"
                          f"Tag: {args.tag}\n".encode()),
        (f"{info}/entry_points.txt", entry_points(project).encode()),
    ]
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"{dist}-{args.tag}.whl")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as whl:
        for name, data in content:
            whl.writestr(name, data)
        record = [record_line(n, d) for n, d in content] + [f"{info}/RECORD,,"]
        whl.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
