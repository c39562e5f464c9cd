"""Writes the state files of the current format version: for each class,
tests/state_files/v<N>/<Class>.bin (the bytes of an instance made from fixed
data) and <Class>.json (what it answers once loaded, and after a fixed list of
later calls). test_state.py loads the files of every version and expects the
same answers, so a later version that changes the format still reads them.

Run it from the project root when the format version rises, and commit the
new directory beside the old ones (never rewrite an old one):

    python3 tests/make_state_files.py
"""

import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from state_kinds import KINDS, FixedRng, apply  # noqa: E402

STATE_DIR = pathlib.Path(__file__).resolve().parent / "state_files"


def instance(kind):
    """A fixed instance: made, changed by fixed calls, then fed."""
    rng = FixedRng(2024)
    obj = kind.make()
    for i in range(8):
        name, args = kind.changes[(3 * i) % len(kind.changes)](rng)
        apply(obj, name, args)
    if kind.stream:
        kind.feed(obj, kind.columns(rng, 40))
    return obj


def answers(kind, obj):
    """What a loaded instance answers, then after each of twelve fixed calls."""
    rng = FixedRng(11)
    steps = [["loaded", "", kind.show(obj)]]
    for i in range(12):
        name, args = kind.changes[i % len(kind.changes)](rng)
        steps.append([name, apply(obj, name, args), kind.show(obj)])
    return steps


def main():
    import _lumetra

    version = int.from_bytes(KINDS[0].make().to_bytes()[4:6], "little")
    out = STATE_DIR / f"v{version}"
    if out.exists():
        sys.exit(f"{out} exists: the files of a released format are never rewritten")
    out.mkdir(parents=True)
    for kind in KINDS:
        data = instance(kind).to_bytes()
        (out / f"{kind.name}.bin").write_bytes(data)
        expected = answers(kind, kind.cls.from_bytes(data))
        (out / f"{kind.name}.json").write_text(json.dumps(expected, indent=1) + "\n", encoding="utf-8")
    print(f"wrote {len(KINDS)} state files to {out} with {_lumetra.__name__}")


if __name__ == "__main__":
    main()
