"""Proves what a Windows build of the module imports from CPython's DLL, and checks the linked .pyd.

    windows_symbols.py prove --dll-name python313t.dll --out python313t.def OBJ... \
        [--exports python313.dll] [--source SRC --config-dir DIR --cc CC]
    windows_symbols.py check PYD --python-def DEF --libusb-def DEF
    windows_symbols.py exports DLL DEF     # the DLL exports exactly what DEF lists

A symbol the objects import (``__imp_NAME``: declared dllimport by <Python.h> for this target and
configuration) goes into the import library only if it is proven exported by the DLL: by the
export table of a real DLL of that version and configuration, or, where none is at hand, by
CPython's own sources: a file of PCbuild/pythoncore.vcxproj, preprocessed as the DLL is built
(Py_BUILD_CORE, the same pyconfig.h), that defines NAME and declares it dllexport. Anything else
fails the build, so nothing reaches a user that the DLL would refuse to load. Names the headers
declare but the DLL lacks (--control) must stay unproven, or the proof itself is broken.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import re
import subprocess
import sys

import pefile

# What a .pyd may import besides its CPython DLL and the bundled libusb.
SYSTEM_DLLS = re.compile(r"^(kernel32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll)$", re.I)
EXPORT = "PyInit_vorel_pythoncan_ext"
LIBUSB = re.compile(r"^libusb-1\.0(-[0-9a-f]+)?\.dll$", re.I)
# Py_EXPORTED_SYMBOL as MSVC and as clang or GCC spell it.
DLLEXPORT = re.compile(r"__declspec\(dllexport\)|__attribute__\(\(dllexport\)\)")


def imported_names(objects: list[str]) -> set[str]:
    """The Python API the objects take through dllimport (``__imp_`` references)."""
    out = subprocess.run(["llvm-nm-14", "-u", "--no-sort", *objects], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        sym = line.split()[-1] if line.split() else ""
        if sym.startswith("__imp_"):
            name = sym[len("__imp_"):]
            if re.match(r"^_?Py", name):
                names.add(name)
    return names


def dll_exports(path: str) -> set[str]:
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    return {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}


def core_sources(src: str) -> list[str]:
    """The C files PCbuild/pythoncore.vcxproj compiles into the DLL (zlib's, from outside the
    source tree, excluded: they export nothing of Python's)."""
    with open(os.path.join(src, "PCbuild", "pythoncore.vcxproj"), encoding="utf-8") as f:
        items = re.findall(r'<ClCompile Include="([^"]+)"', f.read())
    files = []
    for item in items:
        if "$(" in item:
            continue
        path = os.path.normpath(os.path.join(src, "PCbuild", item.replace("\\", "/")))
        files.append(path)
    return files


def _balanced_end(text: str, i: int) -> int:
    """Index just past the parenthesised group starting at text[i] == '(' (or -1)."""
    depth = 0
    for j in range(i, min(len(text), i + 4000)):
        c = text[j]
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return j + 1
        elif c in ";{}" and depth:
            return -1
    return -1


def scan_unit(cc: list[str], path: str, wanted: set[str]) -> tuple[set[str], set[str], str | None]:
    """(names declared dllexport, names defined, error) in one preprocessed source file."""
    run = subprocess.run([*cc, path], capture_output=True, text=True, errors="replace")
    if run.returncode != 0:
        return set(), set(), run.stderr.strip().splitlines()[0] if run.stderr.strip() else "failed"
    text = run.stdout
    pattern = re.compile(r"\b(" + "|".join(sorted(map(re.escape, wanted))) + r")\b")
    exported, defined = set(), set()
    for m in pattern.finditer(text):
        name = m.group(1)
        start = max(text.rfind(";", 0, m.start()), text.rfind("}", 0, m.start()), text.rfind("{", 0, m.start()))
        if DLLEXPORT.search(text, start + 1, m.start()):
            exported.add(name)
        rest = m.end()
        while rest < len(text) and text[rest].isspace():
            rest += 1
        if rest < len(text) and text[rest] == "(":
            end = _balanced_end(text, rest)
            tail = text[end:end + 200].lstrip() if end > 0 else ""
            if tail.startswith("{") and text[start + 1:m.start()].strip():
                defined.add(name)   # a function definition at file level
        elif re.match(r"\s*(\[[^\]]*\])?\s*=", text[m.end():m.end() + 200]) or \
                re.match(r"\s*;", text[m.end():m.end() + 5]) and "extern" not in text[start + 1:m.start()] \
                and text[start + 1:m.start()].strip():
            defined.add(name)       # a data definition, initialised or tentative
    return exported, defined, None


def prove_from_sources(names: set[str], src: str, config_dir: str, cc: str) -> tuple[set[str], list[str]]:
    flags = ["-E", "-w", "-D_USRDLL", "-DPy_BUILD_CORE", "-DPy_BUILD_CORE_BUILTIN", "-DPy_ENABLE_SHARED",
             '-DMS_DLL_ID="3"', f"-I{config_dir}"] + [f"-I{os.path.join(src, d)}" for d in (
                 "", "Include", "Include/internal", "Include/internal/mimalloc", "Modules/_hacl/include",
                 "Python", "PC")]
    proven, failures = set(), []
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        jobs = {pool.submit(scan_unit, [cc, *flags], path, names): path for path in core_sources(src)}
        for job in concurrent.futures.as_completed(jobs):
            exported, defined, error = job.result()
            if error:
                failures.append(f"{os.path.relpath(jobs[job], src)}: {error}")
            proven |= exported & defined
    return proven, failures


def cmd_prove(args: argparse.Namespace) -> int:
    names = imported_names(args.objects)
    controls = set(filter(None, args.control.split(",")))
    if args.exports:
        proven, how = (names | controls) & dll_exports(args.exports), f"the export table of {args.exports}"
    else:
        proven, failures = prove_from_sources(names | controls, args.source, args.config_dir, args.cc)
        how = f"CPython's sources in {args.source}"
        if names - proven and failures:
            print("source files that could not be preprocessed (their symbols count as unproven):",
                  *failures, sep="\n  ", file=sys.stderr)
    if proven & controls:
        print(f"the proof by {how} accepts {sorted(proven & controls)}, which {args.dll_name} does not export",
              file=sys.stderr)
        return 1
    missing = sorted(names - proven)
    if missing:
        print(f"{len(missing)} symbol(s) imported from {args.dll_name} are not proven exported by {how}:",
              *missing, sep="\n  ", file=sys.stderr)
        return 1
    with open(args.out, "w", encoding="ascii") as f:
        f.write(f"LIBRARY {args.dll_name}\nEXPORTS\n")
        f.writelines(f"  {n}\n" for n in sorted(names))
    print(f"{len(names)} symbols from {args.dll_name}, each proven by {how}"
          + (f" (which refuses {', '.join(sorted(controls))})" if controls else ""))
    return 0


def def_names(path: str) -> set[str]:
    names = set()
    with open(path, encoding="ascii") as f:
        body = False
        for line in f:
            word = line.split(";")[0].split()
            if not word:
                continue
            if word[0] == "EXPORTS":
                body = True
            elif body:
                names.add(word[0].split("=")[0])  # an alias (name@N = name) is exported as written
    return names


def cmd_check(args: argparse.Namespace) -> int:
    pe = pefile.PE(args.pyd)
    problems = []
    exports = {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name}
    if exports != {EXPORT}:
        problems.append(f"exports {sorted(exports)}, not only {EXPORT}")
    with open(args.python_def, encoding="ascii") as f:
        python_dll = f.readline().split()[1].lower()
    summary = []
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        dll = entry.dll.decode()
        names = {i.name.decode() for i in entry.imports if i.name}
        summary.append(f"{dll} ({len(names)})")
        # libusb under its own name, or as delvewheel renamed it when bundling.
        allowed = def_names(args.python_def) if dll.lower() == python_dll else \
            def_names(args.libusb_def) if LIBUSB.match(dll) else None
        if allowed is not None:
            extra = names - allowed
            if extra:
                problems.append(f"imports from {dll} not in its definition: {sorted(extra)}")
        elif not SYSTEM_DLLS.match(dll):
            problems.append(f"imports from {dll}, which is neither CPython's, libusb's, KERNEL32 nor the UCRT")
    for p in problems:
        print(f"{args.pyd}: {p}", file=sys.stderr)
    if not problems:
        print(f"{os.path.basename(args.pyd)}: exports {EXPORT} only; imports {', '.join(summary)}")
    return 1 if problems else 0


def cmd_exports(args: argparse.Namespace) -> int:
    have, want = dll_exports(args.dll), def_names(args.definition)
    if have != want:
        print(f"{args.dll} exports {len(have)} names, {args.definition} lists {len(want)}: "
              f"extra {sorted(have - want)}, missing {sorted(want - have)}", file=sys.stderr)
        return 1
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("prove")
    p.add_argument("--dll-name", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--exports", help="a real DLL of this version and configuration")
    p.add_argument("--source", help="CPython's source tree")
    p.add_argument("--config-dir", help="the directory of the configuration's pyconfig.h")
    p.add_argument("--cc", help="a C compiler for the target (preprocessing only)")
    p.add_argument("--control", default="", help="names the DLL is known not to export, comma-separated")
    p.add_argument("objects", nargs="+")
    c = sub.add_parser("check")
    c.add_argument("pyd")
    c.add_argument("--python-def", required=True)
    c.add_argument("--libusb-def", required=True)
    e = sub.add_parser("exports")
    e.add_argument("dll")
    e.add_argument("definition")
    args = parser.parse_args()
    if args.command == "prove" and not args.exports and not (args.source and args.config_dir and args.cc):
        parser.error("prove needs --exports or all of --source, --config-dir and --cc")
    return {"prove": cmd_prove, "check": cmd_check, "exports": cmd_exports}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
