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
        the text fields beyond title, artist, album and track, one
        "NAME=value" line each, sorted: an MP3's TXXX frames by description,
        the other comments of a FLAC, Ogg Vorbis or Opus file (names in upper
        case; ENCODER and pictures left out)
"""
import base64
import hashlib
import sys

from mutagen import id3
from mutagen.flac import FLAC, Picture
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

CORE = {"title", "artist", "album", "tracknumber", "metadata_block_picture", "encoder"}


def vorbis_file(path):
    lower = path.lower()
    if lower.endswith(".flac"):
        return FLAC(path)
    if lower.endswith(".opus"):
        return OggOpus(path)
    if lower.endswith(".ogg"):
        return OggVorbis(path)
    return None


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
    title = artist = album = track = ""
    cover = None
    vorbis = vorbis_file(path)
    if vorbis is not None:
        title, artist, album = (first(vorbis.get(k, [])) for k in ("title", "artist", "album"))
        track = first(vorbis.get("tracknumber", []))
        for value in vorbis.get("metadata_block_picture", []):
            pic = Picture(base64.b64decode(value))
            if pic.type == 3:
                cover = pic.data
        for pic in getattr(vorbis, "pictures", []):
            if pic.type == 3:
                cover = pic.data
    else:
        try:
            tags = id3.ID3(path)
        except id3.ID3NoHeaderError:
            tags = {}
        def text(frame):
            return first(tags[frame].text) if frame in tags else ""
        title, artist, album, track = text("TIT2"), text("TPE1"), text("TALB"), text("TRCK")
        for frame in (tags.values() if tags else []):
            if isinstance(frame, id3.APIC) and frame.type == 3:
                cover = frame.data
    track = track.split("/")[0]
    digest = hashlib.sha256(cover).hexdigest() if cover is not None else "-"
    return "\t".join([title, artist, album, track, digest])


def fields(path):
    lines = []
    vorbis = vorbis_file(path)
    if vorbis is not None:
        for key, values in (vorbis.tags or {}).as_dict().items():
            if key.lower() not in CORE:
                lines += [key.upper() + "=" + v for v in values]
    else:
        for frame in id3.ID3(path).getall("TXXX"):
            lines += [frame.desc + "=" + str(v) for v in frame.text]
    return sorted(lines)


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
