"""Tags of a music library's files as mutagen writes and reads them.

    library_tags.py mp3 FILE TITLE ARTIST ALBUM TRACK [COVER]
        an ID3v2.3 tag (TRCK "TRACK/12", a TXXX "CATALOG" frame, a PRIV frame
        no converter manages) and, given COVER (an image file), a front-cover
        APIC frame holding its bytes
    library_tags.py ogg-picture FILE COVER
        adds a front-cover METADATA_BLOCK_PICTURE comment to an Ogg Vorbis or
        Ogg Opus file
    library_tags.py read FILE...
        one line per file (MP3, FLAC, Ogg Vorbis, Opus): title, artist, album,
        track number (before any "/"), and the SHA-256 of the front cover
        ("-" when there is none), separated by tabs
    library_tags.py fields FILE
        the text fields beyond title, artist, album and track number, one
        "NAME=value" line each, sorted, by the names of mapped_tags.py: the
        map names of mapped fields (an MP3's TPE2 is ALBUMARTIST), an MP3's
        other TXXX frames as "TXXX:description", the other comments of a
        FLAC, Ogg Vorbis or Opus file in upper case (ENCODER and pictures
        left out)
"""
import base64
import hashlib
import sys

from mutagen import id3
from mutagen.flac import Picture

import mapped_tags
from mapped_tags import vorbis_file

CORE = {"TITLE", "ARTIST", "ALBUM", "TRACKNUMBER", "ENCODER"}


def tag_mp3(path, title, artist, album, track, cover=None):
    tags = id3.ID3()
    tags.add(id3.TIT2(encoding=3, text=[title]))
    tags.add(id3.TPE1(encoding=3, text=[artist]))
    tags.add(id3.TALB(encoding=3, text=[album]))
    tags.add(id3.TRCK(encoding=3, text=[track + "/12"]))
    tags.add(id3.TXXX(encoding=3, desc="CATALOG", text=["QX-0042"]))
    tags.add(id3.PRIV(owner="org.example.player", data=b"\x00\x01private"))
    if cover:
        with open(cover, "rb") as f:
            data = f.read()
        tags.add(id3.APIC(encoding=0, mime="image/jpeg", type=3, desc="", data=data))
    tags.save(path, v2_version=3)


def ogg_picture(path, cover):
    with open(cover, "rb") as f:
        data = f.read()
    ogg = vorbis_file(path)
    pic = Picture()
    pic.type, pic.mime, pic.desc, pic.data = 3, "image/jpeg", "", data
    ogg["METADATA_BLOCK_PICTURE"] = [base64.b64encode(pic.write()).decode("ascii")]
    ogg.save()


def first(values):
    return str(values[0]) if values else ""


def read(path):
    found, cover = mapped_tags.read(path)
    texts = [first(found.get(name, [])) for name in ("TITLE", "ARTIST", "ALBUM", "TRACKNUMBER")]
    digest = hashlib.sha256(cover).hexdigest() if cover is not None else "-"
    return "\t".join(texts + [digest])


def fields(path):
    found, _ = mapped_tags.read(path)
    return sorted(name + "=" + v for name, values in found.items() if name not in CORE for v in values)


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "mp3":
        tag_mp3(*sys.argv[2:])
    elif command == "ogg-picture":
        ogg_picture(sys.argv[2], sys.argv[3])
    elif command == "fields":
        for line in fields(sys.argv[2]):
            print(line)
    elif command == "read":
        for name in sys.argv[2:]:
            print(read(name))
    else:
        raise SystemExit("unknown command " + command)
