"""The program's structure: includes run one way down the folders of
docs/layers.txt, a module's two halves are named one way, only the Win32 side
includes the system's headers, and the files are in the style of .clang-format."""
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RULES = ROOT / "docs" / "layers.txt"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
WINDOWS_HEADER = re.compile(
    r'^\s*#\s*include\s+<(windows|winsock2|wininet|shlobj|objbase|shellapi|aclapi|bcrypt)\.h>', re.M)
# What a header that includes a Windows header says in its first comment.
WIN32_ONLY = "Win32 side only"
# Files of the program that belong to no module: the entry and the allocation operators.
NO_MODULE = {"app/Tovimar.cpp", "app/Memory.cpp"}
# The one file outside a module's Win32 half that may include a Windows header.
ENTRY = "app/Tovimar.cpp"


def read_rules(text):
    """(folders in order with what each may include, {folder: {header}})."""
    folders, headers = {}, {}
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if len(words) >= 2 and "/" in words[1]:
            headers.setdefault(words[0], set()).add(words[1])
        else:
            folders[words[0]] = set(words[1:])
    return folders, headers


FOLDERS, HEADERS = read_rules(RULES.read_text())


def program_files(root=ROOT):
    for folder in FOLDERS:
        for path in sorted((root / folder).glob("*")):
            if path.suffix in (".h", ".cpp"):
                yield path.relative_to(root).as_posix(), path.read_text()


def back_edges(files, folders=FOLDERS, headers=HEADERS):
    """Every include that the rules do not allow, as a message."""
    found = []
    for name, text in files:
        folder = name.split("/")[0]
        for match in INCLUDE.finditer(text):
            target = match.group(1)
            to = target.split("/")[0] if "/" in target else folder
            if to == folder or to in folders[folder] or target in headers.get(folder, ()):
                continue
            line = text.count("\n", 0, match.start()) + 1
            allowed = ", ".join(sorted(folders[folder])) or "nothing"
            found.append(f"{name}:{line} includes {target}: {folder} may include from {allowed} "
                         f"(and the headers {RULES.relative_to(ROOT)} names)")
    return found


def first_comment(text):
    """The comment a file opens with, its lines joined by single blanks."""
    text = text.lstrip()
    if text.startswith("/*"):
        body = text[2:].split("*/", 1)[0]
        lines = [line.strip().lstrip("*") for line in body.splitlines()]
    else:
        lines = []
        for line in text.splitlines():
            if not line.lstrip().startswith("//"):
                break
            lines.append(line.lstrip()[2:])
    return " ".join(" ".join(lines).split())


def system_includes_out_of_place(files):
    """Every Windows header included where the rules do not allow it, as a message."""
    found = []
    for name, text in files:
        match = WINDOWS_HEADER.search(text)
        if not match:
            continue
        line = text.count("\n", 0, match.start()) + 1
        where = f"{name}:{line} includes <{match.group(1)}.h>"
        if name.endswith(".h"):
            if WIN32_ONLY not in first_comment(text):
                found.append(f'{where}: a header that calls the system must say "{WIN32_ONLY}" in its first comment')
        elif not name.endswith("Win.cpp") and name != ENTRY:
            found.append(f"{where}: a file that calls the system is a module's Win32 half: "
                         "its name must end in Win.cpp")
    return found


def test_every_include_of_the_program_runs_down_the_layers():
    assert back_edges(program_files()) == []


def test_the_rules_are_a_chain_that_ends_in_support():
    order = list(FOLDERS)
    for i, folder in enumerate(order):
        assert FOLDERS[folder] == set(order[:i]), folder
        assert (ROOT / folder).is_dir(), folder
    assert order[0] == "support" and FOLDERS["support"] == set()
    for folder, named in HEADERS.items():
        for header in named:
            assert (ROOT / header).is_file(), header
            assert order.index(header.split("/")[0]) > order.index(folder), (folder, header)


@pytest.mark.parametrize("source, bad", [
    ('#include "app/Session.h"\n', "transfer/MirrorWin.cpp:1 includes app/Session.h"),
    ('#include "config/Settings.h"\n', "support/TinyLib.cpp:1 includes config/Settings.h"),
    ('int x;\n#include "install/Shortcuts.h"\n', "config/BuiltIn.cpp:2 includes install/Shortcuts.h"),
    ('#include "app/Progress.h"\n', None),     # a named exception
    ('#include "support/TinyLib.h"\n', None),  # downward
])
def test_a_back_edge_is_reported_where_it_stands(source, bad):
    name = bad.split(":")[0] if bad else "transfer/ServerWin.cpp"
    found = back_edges([(name, source)])
    assert (found[0].startswith(bad) if bad else found == []), found


def test_each_module_is_named_for_its_header_and_its_win32_half_ends_in_win():
    for name, text in program_files():
        if not name.endswith(".cpp") or name in NO_MODULE:
            continue
        stem = name[:-len(".cpp")]
        module = stem[:-len("Win")] if stem.endswith("Win") else stem
        assert f'#include "{module}.h"' in text, f"{name} does not include its module's header {module}.h"


def test_only_the_win32_side_includes_windows_headers():
    assert system_includes_out_of_place(program_files()) == []


@pytest.mark.parametrize("name, source, bad", [
    ("config/BuiltIn.cpp", '#include "config/BuiltIn.h"\n#include <windows.h>\n',
     "config/BuiltIn.cpp:2 includes <windows.h>: a file that calls the system is a module's Win32 half: "
     "its name must end in Win.cpp"),
    ("support/Crypto.cpp", "#include <bcrypt.h>\n", "support/Crypto.cpp:1 includes <bcrypt.h>"),
    ("manifest/Sites.h", "// The mirror site table.\n#pragma once\n#include <windows.h>\n",
     'manifest/Sites.h:3 includes <windows.h>: a header that calls the system must say "Win32 side only" '
     "in its first comment"),
    # Said only in a later comment, or in none at all.
    ("transfer/Mirror.h", "// The mirror workers.\n#pragma once\n// Win32 side only.\n#include <wininet.h>\n",
     "transfer/Mirror.h:4 includes <wininet.h>"),
    ("support/FindFile.h", "#pragma once\n#include <windows.h>\n", "support/FindFile.h:2 includes <windows.h>"),
    # Said across the comment's lines, or in a block comment.
    ("install/Access.h", "// Full access (Win32 side\n// only, AccessWin.cpp).\n#pragma once\n#include <aclapi.h>\n",
     None),
    ("app/StatusWindow.h", "/* The status window\n * (Win32 side only). */\n#include <windows.h>\n", None),
    ("config/BuiltInWin.cpp", "#include <windows.h>\n", None),
    ("app/Tovimar.cpp", "#include <windows.h>\n", None),  # the entry
    ("transfer/TinyZip.cpp", "#include <zlib.h>\n", None),  # not the system's
    ("config/Settings.h", "#pragma once\n#include <cstdint>\n", None),
])
def test_a_windows_header_out_of_place_is_reported_where_it_stands(name, source, bad):
    found = system_includes_out_of_place([(name, source)])
    assert (len(found) == 1 and found[0].startswith(bad) if bad else found == []), found


def test_the_program_is_in_the_house_style():
    clang_format = shutil.which("clang-format")
    assert clang_format, "clang-format is not installed (Debian package clang-format)"
    names = [name for name, _ in program_files()]
    result = subprocess.run([clang_format, "--dry-run", "-Werror", "--style=file", *names], cwd=ROOT,
                            capture_output=True, text=True, timeout=120)
    unformatted = sorted(set(re.findall(r"^(.+?):\d+:\d+: error:", result.stderr, re.M)))
    assert not unformatted, f"not formatted as .clang-format asks (clang-format -i fixes it): {', '.join(unformatted)}"
    assert result.returncode == 0, result.stderr


def test_the_tools_import_nothing_from_the_tests():
    test_modules = {path.stem for path in (ROOT / "tests").rglob("*.py")}
    imported = re.compile(r"^\s*(?:from\s+([\w.]+)\s+import|import\s+([\w.]+))", re.M)
    for path in sorted((ROOT / "tools").glob("*.py")):
        text = path.read_text()
        assert not re.search(r"sys\.path.*tests|/\s*\"tests\"", text), path.name
        for match in imported.finditer(text):
            module = (match.group(1) or match.group(2)).split(".")[0]
            assert module not in test_modules, f"tools/{path.name} imports {module} from the tests"
