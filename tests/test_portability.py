"""The C++ sources build with MSVC as well as GCC and Clang: GCC's builtins, attributes and
POSIX headers stay in the units written for them (the vector kernels, the POSIX platform layer)."""

from __future__ import annotations

import re
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"
# Units compiled only by GCC and Clang, or only on POSIX systems.
GUARDED = {"core/rdf/pair_kernel_x86.cpp", "core/rdf/pair_kernel_neon.cpp", "core/util/platform_posix.cpp"}
NOT_MSVC = re.compile(r"__builtin_\w+|__attribute__|#\s*include\s*<(unistd|pthread|poll|fcntl|sys/\w+)\.h>"
                      r"|\bssize_t\b|#\s*pragma\s+GCC")


def test_no_compiler_or_system_specific_code_outside_its_units():
    found = []
    for path in sorted(SRC.glob("*/**/*.[ch]pp")):
        name = path.relative_to(SRC).as_posix()
        if name in GUARDED or name == "core/util/platform_win32.cpp":
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            code = line.split("//")[0]
            if NOT_MSVC.search(code):
                found.append(f"{name}:{number}: {line.strip()}")
    assert not found, "use the portable spelling (std::countr_zero, multiply_overflows, util/platform.hpp):\n" + \
        "\n".join(found)
