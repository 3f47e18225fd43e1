#!/usr/bin/env python3
"""Checks that what is known of each type of file is known in one place.

The format tables (TABLES below) are the only sources of the product that
may

  - hold a file extension as a string literal ("wav", ".flac"): everyone
    else asks a table (or the components' Formats objects),
  - switch on a type: no `case WAV:`, `case FileType::Flac:` or
    `case INFO_MPC:` anywhere else.

The extensions are those the tables themselves list (every quoted word in
their extension arrays), and the type names those of FormatTypeConstants in
include/qoro/AudioFile.h, so a new type or extension is covered the day it
is added. EXCEPTIONS names the few literals that are no choice of type.

  check_format_table.py [source root]   exit 1 and a line per violation
  check_format_table.py --self-test     shows on a made-up tree that each rule bites
"""
import os
import re
import subprocess
import sys
import tempfile

SOURCE_DIRS = ["include", "platform", "common", "audiofile", "audioinfo", "client", "app", "tools"]
TABLES = [
    "audiofile/containers/containers.cpp",  # QoroAudioFile's types
    "audioinfo/object/info_types.cpp",  # QoroAudioInformation's types
    "common/probe/signature.cpp",  # the kinds both know by their first bytes
]
# (file, literal): literals that name no type.
EXCEPTIONS = {
    # The MPEG decoder reads an ID3v1 tag only behind lower-case ".mp3" names.
    ("audiofile/codecs/mpeg/mpeg_file_decoder.cpp", ".mp3"),
    # qoro's --compression values name the coder of a raw file, not a type.
    ("tools/qoro/convert.cpp", "pcm"),
    ("tools/qoro/convert.cpp", "gsm"),
    # An APEv2 cover item names its picture by a file name ("cover.jpg").
    ("common/tags/apev2.cpp", ".jpg"),
    ("common/tags/apev2.cpp", ".jpeg"),
    ("common/tags/apev2.cpp", ".png"),
    ("common/tags/apev2.cpp", ".gif"),
    # The media plug-in names its decoders ("aac", "flac", "ac3"): codecs, not types.
    *{("platform/media/media_plugin.cpp", c) for c in ("aac", "ape", "tta", "flac", "ac3", "eac3", "opus", "mp3")},
    ("platform/media/qoro_media.h", "aac"),
    ("audiofile/containers/m4a_writer.cpp", "aac"),
    *{("audioinfo/readers/media_reader.cpp", c) for c in ("aac", "ac3", "flac", "opus")},
}
SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c")
EXTENSION_ARRAY = re.compile(r"\bk\w*Ext\[\]\s*=\s*\{([^}]*)\}")
QUOTED = re.compile(r'"([^"\\]*)"')
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
TYPE_ENUM = re.compile(r"enum\s+FormatTypeConstants\b[^{]*\{([^}]*)\}")


def extensions(root):
    found = set()
    for table in TABLES:
        path = os.path.join(root, table)
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for array in EXTENSION_ARRAY.finditer(f.read()):
                found.update(QUOTED.findall(array.group(1)))
    return found


def type_names(root):
    path = os.path.join(root, "include/qoro/AudioFile.h")
    with open(path, encoding="utf-8", errors="replace") as f:
        match = TYPE_ENUM.search(f.read())
    names = re.findall(r"^\s*([A-Z][A-Z0-9_]*)\s*=", match.group(1), re.M) if match else []
    return [n for n in names if n != "DEFAULT"]


def sources(root):
    listed = subprocess.run(["git", "-C", root, "ls-files"], capture_output=True, text=True)
    if listed.returncode == 0:
        files = listed.stdout.split()
    else:
        files = [os.path.relpath(os.path.join(d, n), root)
                 for d, _, names in os.walk(root) for n in names]
    return sorted(f for f in files if f.endswith(SUFFIXES) and f.split("/", 1)[0] in SOURCE_DIRS
                  and f not in TABLES and os.path.exists(os.path.join(root, f)))


def code_of(line):
    """The line without a // comment (string literals keep their slashes)."""
    out, quoted, i = [], False, 0
    while i < len(line):
        c = line[i]
        if c == "\\" and quoted:
            out.append(line[i:i + 2])
            i += 2
            continue
        if c == '"':
            quoted = not quoted
        elif not quoted and line.startswith("//", i):
            break
        out.append(c)
        i += 1
    return "".join(out)


def check(root):
    exts = extensions(root)
    case = re.compile(r"\bcase\s+(?:FileType::\w+|INFO_[A-Z0-9_]+|(?:%s))\s*:" % "|".join(type_names(root)))
    problems = []
    for rel in sources(root):
        with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                code = code_of(line)
                for literal in LITERAL.findall(code):
                    word = literal[1:] if literal.startswith(".") else literal
                    if word in exts and (rel, literal) not in EXCEPTIONS:
                        problems.append(f'{rel}:{number}: the extension "{literal}" belongs in a format table')
                if case.search(code):
                    problems.append(f"{rel}:{number}: a case on a file type belongs in a format table: "
                                    + line.strip())
    return problems, exts


def self_test():
    with tempfile.TemporaryDirectory() as root:
        def write(rel, text):
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        write("include/qoro/AudioFile.h", "enum FormatTypeConstants : LONG {\n DEFAULT = 0,\n WAV = 1,\n FLAC = 13,\n};\n")
        write(TABLES[0], 'constexpr E kWavExt[] = {"wav"};\nconstexpr E kFlacExt[] = {"flac", "fla"};\n')
        write("audiofile/a.cpp", 'auto t = typeFor(".flac");\n')
        write("audiofile/b.cpp", 'switch (t) {\ncase WAV: break;\n}\n')
        write("audioinfo/c.cpp", "switch (t) { case FileType::Flac: break; }\n")
        write("tools/d.cpp", 'if (ext == "fla") x();  // "wav" in a comment is fine\n')
        write("tools/e.cpp", 'puts("a wav file"); // case WAV: in words\nputs("MPEG");\n')
        write("tests/f.cpp", 'open("x.wav"); case WAV:\n')
        problems, exts = check(root)
        expected = ["audiofile/a.cpp:1", "audiofile/b.cpp:2", "audioinfo/c.cpp:1", "tools/d.cpp:1"]
        got = sorted(p.split(": ", 1)[0] for p in problems)
        ok = got == expected and exts == {"wav", "flac", "fla"}
        print("self-test", "passed" if ok else f"failed: {got} {sorted(exts)}")
        return 0 if ok else 1


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    problems, exts = check(root)
    if not exts:
        print("no extensions found in the format tables: " + ", ".join(TABLES))
        return 1
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
