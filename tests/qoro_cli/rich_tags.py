"""Rich tags as users' taggers write them, and mutagen's view of them.

    rich_tags.py make KIND FILE     tag FILE (an MP3, WAV or Ogg Vorbis file made
                                    by lame, sox or oggenc) the KIND way:
                                    id3v23, id3v24, id3v22, wav, ogg
    rich_tags.py dump FILE          print mutagen's view of every tag the file
                                    carries, one line per frame or field, sorted,
                                    ID3 frames normalised to their ID3v2.3 form

Used by the qoro tests as the outside oracle: a title change must leave every
other line of the dump as it was.
"""
import base64
import struct
import sys

from mutagen import id3
from mutagen.flac import Picture
from mutagen.oggvorbis import OggVorbis
from mutagen.wave import WAVE

COVER = bytes(range(256)) * 120  # 30 KB of "image"


def id3_frames(v24):
    frames = [
        id3.TIT2(encoding=3, text=["Old Title"]),
        id3.TPE1(encoding=3, text=["First Artist", "Second Artist"] if v24 else ["First Artist"]),
        id3.TALB(encoding=1, text=["Album Ünïcode"]),
        id3.TRCK(encoding=0, text=["3/12"]),
        id3.TPOS(encoding=0, text=["1/2"]),
        id3.TCON(encoding=0, text=["Chillwave"]),
        id3.COMM(encoding=0, lang="eng", desc="", text=["The visible comment"]),
        id3.COMM(encoding=1, lang="deu", desc="", text=["Ein Kommentar"]),
        id3.COMM(encoding=0, lang="eng", desc="iTunNORM", text=[" 0000044E 00000000 00001DB8"]),
        id3.TXXX(encoding=3, desc="REPLAYGAIN_TRACK_GAIN", text=["-6.20 dB"]),
        id3.USLT(encoding=1, lang="eng", desc="", text="Line one\nLine two"),
        id3.APIC(encoding=0, mime="image/jpeg", type=3, desc="Cover", data=COVER),
        id3.POPM(email="someone@example.org", rating=196, count=7),
        id3.PRIV(owner="WM/MediaClassPrimaryID", data=b"\x01\x02\x03\x04"),
        id3.GEOB(encoding=0, mime="application/octet-stream", filename="x.bin", desc="blob", data=bytes(range(1, 65))),
        id3.UFID(owner="http://musicbrainz.org", data=b"5b11f4ce-a62d-471e-81fc-a69a8278c7da"),
        id3.TCOM(encoding=0, text=["A Composer"]),
    ]
    if v24:
        frames += [id3.TDRC(encoding=3, text=["2011-03-04"]), id3.TDOR(encoding=3, text=["2009"])]
    else:
        frames += [id3.TYER(encoding=0, text=["2011"]), id3.TDAT(encoding=0, text=["0403"])]
    return frames


def syncsafe(n):
    return bytes(((n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F))


def id3v22_tag():
    """An ID3v2.2 tag written byte by byte (mutagen writes only 2.3 and 2.4)."""
    def frame(fid, body):
        return fid + struct.pack(">I", len(body))[1:] + body

    body = b"".join([
        frame(b"TT2", b"\x00Old Title"),
        frame(b"TP1", b"\x00First Artist"),
        frame(b"TAL", b"\x01" + "Album Ünïcode".encode("utf-16")),
        frame(b"TRK", b"\x003/12"),
        frame(b"TYE", b"\x002011"),
        frame(b"TCO", b"\x00(17)"),
        frame(b"COM", b"\x00eng\x00The visible comment"),
        frame(b"COM", b"\x00eng" + b"iTunNORM\x00" + b" 0000044E 00000000"),
        frame(b"TXX", b"\x00REPLAYGAIN_TRACK_GAIN\x00-6.20 dB"),
        frame(b"ULT", b"\x00eng\x00Line one"),
        frame(b"PIC", b"\x00JPG\x03Cover\x00" + COVER),
    ])
    return b"ID3\x02\x00\x00" + syncsafe(len(body)) + body


def make(kind, path):
    if kind in ("id3v23", "id3v24"):
        tags = id3.ID3()
        for f in id3_frames(kind == "id3v24"):
            tags.add(f)
        tags.save(path, v2_version=3 if kind == "id3v23" else 4, v23_sep="/")
    elif kind == "id3v22":
        with open(path, "rb") as f:
            audio = f.read()
        with open(path, "wb") as f:
            f.write(id3v22_tag() + audio)
    elif kind == "wav":
        wave = WAVE(path)
        wave.add_tags()
        for f in id3_frames(False):
            wave.tags.add(f)
        wave.save()
    elif kind == "ogg":
        ogg = OggVorbis(path)
        ogg["TITLE"] = ["Old Title"]
        ogg["ARTIST"] = ["First Artist", "Second Artist"]
        ogg["DATE"] = ["2011-03-04"]
        ogg["TRACKNUMBER"] = ["3/12"]
        ogg["GENRE"] = ["Chillwave"]
        ogg["REPLAYGAIN_TRACK_GAIN"] = ["-6.20 dB"]
        pic = Picture()
        pic.type, pic.mime, pic.desc, pic.data = 3, "image/jpeg", "Cover", COVER
        ogg["METADATA_BLOCK_PICTURE"] = [base64.b64encode(pic.write()).decode("ascii")]
        ogg.save()
    else:
        raise SystemExit("unknown kind " + kind)


def dump(path):
    lines = []
    if path.endswith(".ogg"):
        ogg = OggVorbis(path)
        lines.append("vendor=%r" % ogg.tags.vendor)
        for key, value in ogg.tags:
            lines.append("%s=%r" % (key.upper(), value))
    else:
        tags = WAVE(path).tags if path.endswith(".wav") else id3.ID3(path)
        if tags is None:
            return
        tags.update_to_v23()
        for key in tags.keys():
            frame = tags[key]
            # The same text in another encoding is the same frame to a reader
            # (and ID3v2.3 has no UTF-8): compare texts, not encodings.
            if hasattr(frame, "encoding"):
                frame.encoding = id3.Encoding.UTF16
            lines.append("%s %r" % (key, frame))
    for line in sorted(lines):
        print(line)


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    else:
        dump(sys.argv[2])
