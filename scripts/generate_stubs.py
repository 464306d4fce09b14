"""Writes foundation.pyi for the built extension found in --module-dir.

pybind11-stubgen reads the module; two things it cannot know are then put right: `__str__` is the
very same method as `__repr__`, and `Pose.position` reads as a one-dimensional float32 array and
accepts anything numpy turns into three numbers.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

STR_ALIAS = re.compile(
    r'    @staticmethod\n    def __str__\(\*args, \*\*kwargs\):\n        """\n        __repr__\(self: [\w.]+\) -> str\n        """\n')
POSITION = re.compile(r"    position: numpy\.ndarray\[.*\]\n")
POSITION_PROPERTY = '''    @property
    def position(self) -> numpy.typing.NDArray[numpy.float32]:
        ...
    @position.setter
    def position(self, value: numpy.typing.ArrayLike) -> None:
        ...
'''


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--module-dir", required=True, type=Path)
    parser.add_argument("--output", required=True, type=Path)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(args.module_dir), os.environ.get("PYTHONPATH")]))}
        subprocess.run([sys.executable, "-m", "pybind11_stubgen", "foundation", "-o", scratch,
                        "--numpy-array-use-type-var", "--exit-code",
                        # numpy is not needed to build: its names are written as they are.
                        "--ignore-unresolved-names", r"numpy\..*"], check=True, env=env, cwd=scratch)
        stub = (Path(scratch) / "foundation.pyi").read_text()

    stub, aliases = STR_ALIAS.subn("    def __str__(self) -> str:\n        ...\n", stub)
    stub, positions = POSITION.subn(POSITION_PROPERTY, stub)
    if aliases != 6 or positions != 1:
        sys.exit(f"generate_stubs: unexpected stub layout ({aliases} __str__ aliases, {positions} position)")
    stub = stub.replace("import numpy\n", "", 1).replace(
        "from __future__ import annotations\n", "from __future__ import annotations\nimport numpy\nimport numpy.typing\n", 1)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(stub)


if __name__ == "__main__":
    main()
