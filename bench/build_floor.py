"""Compiles bench/floor/floor.c for this interpreter into the given folder (when out of date)."""

import os
import shlex
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "floor", "floor.c")


def build(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, "floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(SOURCE):
        return target
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")[:1]
    command = compiler + ["-O2", "-fPIC", "-shared", "-std=c11", "-D_DEFAULT_SOURCE",
                          "-Wall", "-Werror", "-I", sysconfig.get_paths()["include"],
                          SOURCE, "-o", target]
    subprocess.run(command, check=True)
    return target


if __name__ == "__main__":
    print(build(sys.argv[1]))
