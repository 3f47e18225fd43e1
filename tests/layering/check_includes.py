#!/usr/bin/env python3
"""Checks that the sources include only downward.

Every #include "..." of the product's sources is resolved the way the
compiler resolves it (first beside the including file, relative paths
included, then under the include roots) and must

  - name a file that exists,
  - stay within what the including folder may depend on: the program and the
    command line over the client helpers, the components over common/, every
    one over platform/ and include/ (never a component over another, nor
    common/ or platform/ over anything above them),
  - within a component, not reach a layer above its own (audiofile: codecs/
    and convert/, then output_format/, containers/, engine/, object/;
    audioinfo: tags/, readers/, object/),
  - not be another folder's private header (one named *_internal.h).

  check_includes.py [source root]     exit 1 and a line per violation
  check_includes.py --self-test       shows on a made-up tree that each rule bites
"""
import os
import re
import sys
import tempfile

SOURCE_DIRS = ["include", "platform", "common", "audiofile", "audioinfo", "client", "app", "tools"]
# Where a quoted include that is not beside its file is looked up, in order.
INCLUDE_ROOTS = ["include", "audiofile", "audioinfo", "common", "platform", "app", "."]
# Which top-level folders each one may include from (itself always).
MAY_USE = {
    "include": set(),
    "platform": {"include"},
    "common": {"platform", "include"},
    "audiofile": {"common", "platform", "include"},
    "audioinfo": {"common", "platform", "include"},
    "client": {"platform", "include"},
    "app": {"client", "platform", "include"},
    "tools": {"client", "platform", "include"},
}
# Layers inside a component, lowest first; folders of one rank may use each other.
LAYERS = {
    "audiofile": {"codecs": 0, "convert": 0, "output_format": 1, "containers": 2, "engine": 3, "object": 4},
    "audioinfo": {"tags": 0, "readers": 1, "object": 2},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c")


def folder_of(rel):
    """The folder a source file lives in, relative to the source root."""
    return os.path.dirname(rel)


def top(rel):
    return rel.split("/", 1)[0]


def layer(rel):
    """(component, rank) of a file inside a layered component, else None."""
    parts = rel.split("/")
    ranks = LAYERS.get(parts[0])
    if ranks is None or len(parts) < 3:
        return None
    rank = ranks.get(parts[1])
    return None if rank is None else (parts[0], parts[1], rank)


def resolve(root, including, name):
    """The file an include names, relative to root, or None."""
    beside = os.path.normpath(os.path.join(folder_of(including), name))
    if not beside.startswith("..") and os.path.isfile(os.path.join(root, beside)):
        return beside
    for inc in INCLUDE_ROOTS:
        candidate = os.path.normpath(os.path.join(inc, name))
        if not candidate.startswith("..") and os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def violations(root):
    found = []
    for src_dir in SOURCE_DIRS:
        for dirpath, _, files in os.walk(os.path.join(root, src_dir)):
            for f in sorted(files):
                if not f.endswith(SUFFIXES):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, f), root)
                with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as fh:
                    text = fh.read()
                for name in INCLUDE.findall(text):
                    why = check(root, rel, name)
                    if why:
                        found.append(f'{rel}: #include "{name}": {why}')
    return found


def check(root, rel, name):
    target = resolve(root, rel, name)
    if target is None:
        return "no such file beside it or under the include roots"
    src_top, dst_top = top(rel), top(target)
    if dst_top != src_top and dst_top not in MAY_USE.get(src_top, set()):
        return f"{src_top}/ may not depend on {dst_top}/"
    if os.path.basename(target).endswith("_internal.h") and folder_of(target) != folder_of(rel):
        return f"{target} is private to {folder_of(target)}/"
    src_layer, dst_layer = layer(rel), layer(target)
    if src_layer and dst_layer and src_layer[0] == dst_layer[0] and dst_layer[2] > src_layer[2]:
        return f"{src_layer[1]}/ may not use {dst_layer[1]}/, a layer above it"
    return None


def self_test():
    files = {
        "include/qoro/api.h": "",
        "platform/acm/acm.h": '#include "qoro/api.h"\n',
        "platform/acm/bad.h": '#include "mpeg/tables.h"\n',                         # platform over common
        "common/mpeg/tables.h": '#include "acm/acm.h"\n',
        "audiofile/codecs/mpeg/decoder_internal.h": "",
        "audiofile/codecs/mpeg/decoder.cpp": '#include "decoder_internal.h"\n#include "mpeg/tables.h"\n',
        "audiofile/codecs/mpc/mpc.cpp": '#include "codecs/mpeg/decoder_internal.h"\n',  # private header
        "audiofile/codecs/mpc/up.cpp": '#include "../../containers/track.h"\n',        # layer above, relative
        "audiofile/codecs/dsp/gone.cpp": '#include "codecs/dsp/missing.h"\n',          # no such file
        "audiofile/containers/track.h": '#include "codecs/mpeg/decoder.h"\n',
        "audiofile/codecs/mpeg/decoder.h": "",
        "audiofile/engine/engine.cpp": '#include "containers/track.h"\n#include "readers/facts.h"\n',  # other component
        "audioinfo/readers/facts.h": '#include "tags/text.h"\n',
        "audioinfo/tags/text.h": "",
    }
    expected = {
        ("platform/acm/bad.h", "mpeg/tables.h"),
        ("audiofile/codecs/mpc/mpc.cpp", "codecs/mpeg/decoder_internal.h"),
        ("audiofile/codecs/mpc/up.cpp", "../../containers/track.h"),
        ("audiofile/codecs/dsp/gone.cpp", "codecs/dsp/missing.h"),
        ("audiofile/engine/engine.cpp", "readers/facts.h"),
    }
    with tempfile.TemporaryDirectory() as root:
        for rel, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as fh:
                fh.write(text)
        got = {tuple(re.match(r'(.*?): #include "(.*?)"', v).groups()) for v in violations(root)}
    if got != expected:
        print("self-test: caught", sorted(got), "expected", sorted(expected))
        return 1
    print(f"self-test: all {len(expected)} planted violations caught, nothing else")
    return 0


def main(argv):
    if argv[1:2] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    found = violations(os.path.abspath(root))
    for v in found:
        print(v)
    print(f"{len(found)} include(s) against the layering")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
