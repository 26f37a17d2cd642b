"""The program's structure: includes run one way down the folders of
docs/layers.txt, and a module's two halves are named one way."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RULES = ROOT / "docs" / "layers.txt"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
WINDOWS_HEADER = re.compile(r'^\s*#\s*include\s+<(windows|winsock2|wininet|shlobj|objbase|shellapi|aclapi)\.h>', re.M)
# Files of the program that belong to no module: the entry and the allocation operators.
NO_MODULE = {"app/Tovimar.cpp", "app/Memory.cpp"}


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
        if WINDOWS_HEADER.search(text):
            assert stem.endswith("Win"), f"{name} calls the system: its name must end in Win.cpp"


def test_the_tools_import_nothing_from_the_tests():
    test_modules = {path.stem for path in (ROOT / "tests").rglob("*.py")}
    imported = re.compile(r"^\s*(?:from\s+([\w.]+)\s+import|import\s+([\w.]+))", re.M)
    for path in sorted((ROOT / "tools").glob("*.py")):
        text = path.read_text()
        assert not re.search(r"sys\.path.*tests|/\s*\"tests\"", text), path.name
        for match in imported.finditer(text):
            module = (match.group(1) or match.group(2)).split(".")[0]
            assert module not in test_modules, f"tools/{path.name} imports {module} from the tests"
