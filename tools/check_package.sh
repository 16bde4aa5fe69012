#!/usr/bin/env bash
# The installed wheel as a user gets it: its metadata and licence, its stubs against the runtime
# (stubtest), and the typed examples under mypy --strict and pyright, including the lines each
# checker must reject, the pydantic recipe's code as the docs show it and the pydantic glue; the
# long description the package index shows. Takes the virtual environment that installed the
# wheel with [typing] and [docs] (pydantic).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/python.sh"
venv=$(cd "${1:?usage: check_package.sh VENV [TESTED_VERSION...]}" && pwd)
shift
tested=("$@")  # the CPython versions whose suites ran: the classifiers must name exactly these
typing="$root/tests/typing"
recipe="$root/build/typing/pydantic_recipe.py"
typed=("$root/examples/api_client.py" "$typing/typed_usage.py" "$typing/should_fail.py" "$recipe"
       "$root/python/hush_vault_pydantic/__init__.py")
# From the environment's own folder, so that nothing of the source tree is importable.
cd "$venv"

echo "== package: metadata and licence"
"$venv/bin/python" - "$root/LICENSE" "${tested[@]}" <<'PY'
import re
import sys
from importlib.metadata import distribution
from pathlib import Path

dist = distribution("hush_vault")
meta = dist.metadata
assert meta["License-Expression"] == "MIT", meta["License-Expression"]
shipped = [f for f in dist.files if f.name == "LICENSE"]
assert shipped, "LICENSE not shipped"
assert shipped[0].read_text() == Path(sys.argv[1]).read_text(), "shipped LICENSE differs"
assert "MIT License" in shipped[0].read_text()
# No address until the project has a public home: a link must lead somewhere.
assert not meta.get_all("Project-URL"), meta.get_all("Project-URL")
classifiers = meta.get_all("Classifier")
assert "Programming Language :: Python :: 3 :: Only" in classifiers, classifiers
claimed = sorted(c.rsplit(" ", 1)[1] for c in classifiers if re.fullmatch(r".* :: 3\.\d+", c))
if len(sys.argv) > 2:
    assert claimed == sorted(sys.argv[2:]), f"classifiers claim {claimed}, tested {sys.argv[2:]}"
shipped = {f.as_posix() for f in dist.files}
for module in ("hush_vault", "hush_vault_sources"):
    assert f"{module}-stubs/__init__.pyi" in shipped, f"no stubs for {module}"
    assert any(name.startswith(f"{module}.") for name in shipped), f"no {module} module"
# The index shows the long description away from the repository: no relative link can lead anywhere.
description = meta.get_payload()
assert description.startswith("# hush_vault\n") and "./tools/" not in description, description[:200]
assert not re.findall(r"\]\((?!https://)[^)]*\)", description), "a relative link in the description"
print("licence", meta["License-Expression"], "| version", meta["Version"], "| CPython",
      ", ".join(claimed))
PY

echo "== package: no fault injection in the modules"
# The sweep's build (HUSH_VAULT_FAULT_INJECTION) names its variable and its counter's namespace;
# each module carries a counter of its own there.
for name in hush_vault hush_vault_sources; do
    module=$("$venv/bin/python" -c "import $name; print($name.__file__)")
    symbols=$(nm -C "$module" 2>/dev/null || true)  # none when stripped
    if grep -a -q HUSH_INJECT "$module" || [[ $symbols == *inject::* ]]; then
        echo "$module was built with HUSH_VAULT_FAULT_INJECTION" >&2
        exit 1
    fi
    echo "none in $module"
    # Bound at load time (-z now), so that no lazy binding saves registers holding a secret.
    if [[ $(uname) == Linux ]] && ! readelf -d "$module" | grep -q -E 'BIND_NOW|FLAGS.*\bNOW\b'; then
        echo "$module binds its symbols lazily (linked without -z now)" >&2
        exit 1
    fi
done

echo "== package: the pydantic recipe's code, taken from docs/recipes.rst"
mkdir -p "$(dirname "$recipe")"
"$venv/bin/python" - "$root/docs/recipes.rst" "$recipe" <<'PY'
import re
import sys
from pathlib import Path

# The section under the recipe's label, up to the next section title's underline.
text = Path(sys.argv[1]).read_text()
_, found, after = text.partition(".. _pydantic-recipe:")
assert found, "docs/recipes.rst has no pydantic-recipe section"
body = re.split(r"^-{3,}$", after, maxsplit=2, flags=re.M)[1]
code = [m[2] or "" for m in re.finditer(r"^(>>>|\.\.\.)(?: (.*))?$", body, re.M)]
assert any(line.startswith("class Login(BaseModel)") for line in code), "no recipe code found"
# A doctest shows values by leaving them as bare expressions.
header = "# pyright: reportUnusedExpression=false\n"
Path(sys.argv[2]).write_text(header + "\n".join(code) + "\n")
print(f"{len(code)} lines")
PY

echo "== package: stubtest"
"$venv/bin/python" -m mypy.stubtest hush_vault hush_vault_sources

echo "== package: mypy --strict"
# deprecated: comparing vaults with == or != is reported where it is written.
"$venv/bin/python" -m mypy --strict --enable-error-code deprecated --no-incremental \
    --cache-dir=/dev/null "${typed[@]}"

echo "== package: pyright (basedpyright, strict)"
"$venv/bin/basedpyright" --pythonpath "$venv/bin/python" -p "$typing/pyrightconfig.json" \
    "${typed[@]}"

echo "== package: typed example runs"
"$venv/bin/python" "$typing/typed_usage.py"
