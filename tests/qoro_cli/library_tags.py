"""Tags of a music library's files as mutagen writes and reads them.

    library_tags.py mp3 FILE TITLE ARTIST ALBUM TRACK [COVER]
        an ID3v2.3 tag (TRCK "TRACK/12") and, given COVER (an image file), a
        front-cover APIC frame holding its bytes
    library_tags.py ogg-picture FILE COVER
        adds a front-cover METADATA_BLOCK_PICTURE comment to an Ogg Vorbis file
    library_tags.py read FILE...
        one line per file: title, artist, album, track number (before any
        "/"), and the SHA-256 of the front cover ("-" when there is none),
        separated by tabs
"""
import base64
import hashlib
import sys

from mutagen import id3
from mutagen.flac import Picture
from mutagen.oggvorbis import OggVorbis


def tag_mp3(path, title, artist, album, track, cover=None):
    tags = id3.ID3()
    tags.add(id3.TIT2(encoding=3, text=[title]))
    tags.add(id3.TPE1(encoding=3, text=[artist]))
    tags.add(id3.TALB(encoding=3, text=[album]))
    tags.add(id3.TRCK(encoding=3, text=[track + "/12"]))
    if cover:
        with open(cover, "rb") as f:
            data = f.read()
        tags.add(id3.APIC(encoding=0, mime="image/jpeg", type=3, desc="", data=data))
    tags.save(path, v2_version=3)


def ogg_picture(path, cover):
    with open(cover, "rb") as f:
        data = f.read()
    ogg = OggVorbis(path)
    pic = Picture()
    pic.type, pic.mime, pic.desc, pic.data = 3, "image/jpeg", "", data
    ogg["METADATA_BLOCK_PICTURE"] = [base64.b64encode(pic.write()).decode("ascii")]
    ogg.save()


def first(values):
    return str(values[0]) if values else ""


def read(path):
    title = artist = album = track = ""
    cover = None
    if path.lower().endswith(".ogg"):
        ogg = OggVorbis(path)
        title, artist, album = (first(ogg.get(k, [])) for k in ("title", "artist", "album"))
        track = first(ogg.get("tracknumber", []))
        for value in ogg.get("metadata_block_picture", []):
            pic = Picture(base64.b64decode(value))
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


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "mp3":
        tag_mp3(*sys.argv[2:])
    elif command == "ogg-picture":
        ogg_picture(sys.argv[2], sys.argv[3])
    elif command == "read":
        for name in sys.argv[2:]:
            print(read(name))
    else:
        raise SystemExit("unknown command " + command)
