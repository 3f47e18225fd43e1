"""Every field of the cross-format tag map, as mutagen writes and reads it.

    mapped_tags.py make KIND FILE
        tag FILE with every field of FIELDS the KIND way: id3v23, id3v24 (an
        MP3 by lame; several values NUL-separated in both versions), flac,
        ogg, opus (Vorbis comments; FLAC with TRACKTOTAL/DISCTOTAL, the Ogg
        files with TOTALTRACKS/TOTALDISCS), ape (APEv2 on a Musepack file),
        wav (a copy of FILE made by ffmpeg with RIFF INFO: the fields ffmpeg
        writes, its own ISFT among them), each with a front cover where the
        format holds pictures
    mapped_tags.py read FILE
        the file's fields under the map names, one "NAME=value" line per
        value (newlines as \\n), sorted, and "COVER=sha256" of the front
        cover; an MP3 or Musepack file's ID3v1 tag as "ID3V1:TITLE=..."
    mapped_tags.py check KIND SOURCE TARGET...
        for the source (made by make KIND) a line "source KIND N M" and for
        each target a line "cell KIND EXT N M": N fields compared, M of them
        not as wanted, each of those on a line of its own after a tab. A
        target holds what the source holds of the fields both formats hold
        (several values apart; one text joined with "; " in RIFF INFO), the
        same cover bytes where both hold pictures, and none of the values of
        the fields that describe how the source was encoded.

MP3 files are read with mutagen's ID3 (ID3v2.3 dates as ID3v2.4 TDRC),
FLAC, Ogg Vorbis and Opus with its Vorbis comment classes, Musepack with
mutagen.apev2, WAV with ffprobe (mutagen does not read RIFF INFO).
"""
import base64
import hashlib
import json
import os
import struct
import subprocess
import sys

from mutagen import apev2, id3
from mutagen.flac import FLAC, Picture
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

COVER = bytes(range(256)) * 40  # 10 KB of "image"

# Map name, ID3v2 key, APEv2 key, ffprobe's name of the RIFF INFO item, values.
# "" where the format has no place for the field. After MusicBrainz Picard's
# mapping; QUILLET_NOTE stands for a field no map names.
FIELDS = [
    ("TITLE", "TIT2", "Title", "title", ["Matrix Title"]),
    ("ARTIST", "TPE1", "Artist", "artist", ["First Artist", "Second Artist"]),
    ("ALBUM", "TALB", "Album", "album", ["Album Ünïcode"]),
    ("COMMENT", "COMM", "Comment", "comment", ["The visible comment"]),
    ("COPYRIGHT", "TCOP", "Copyright", "copyright", ["2021 A Label"]),
    ("COMPOSER", "TCOM", "Composer", "icms", ["A Composer"]),
    ("URL", "WXXX", "", "iurl", ["https://example.org/track"]),
    ("ENCODEDBY", "TENC", "EncodedBy", "encoder", ["Someone Who Ripped It"]),
    ("DATE", "TDRC", "Year", "date", ["2021-06-01"]),
    ("GENRE", "TCON", "Genre", "genre", ["Klezmer"]),
    ("TRACKNUMBER", "TRCK", "Track", "track", ["3"]),
    ("TOTALTRACKS", "TRCK", "Track", "", ["12"]),
    ("DISCNUMBER", "TPOS", "Disc", "", ["1"]),
    ("TOTALDISCS", "TPOS", "Disc", "", ["2"]),
    ("ARTISTS", "TXXX:ARTISTS", "Artists", "", ["First Artist", "Second Artist"]),
    ("ALBUMARTIST", "TPE2", "Album Artist", "", ["Various Artists"]),
    ("ORIGINALDATE", "TDOR", "Original Date", "", ["2009"]),
    ("LYRICIST", "TEXT", "Lyricist", "", ["A Lyricist"]),
    ("LYRICS", "USLT", "Lyrics", "", ["Line one\nLine two"]),
    ("COMPILATION", "TCMP", "Compilation", "", ["1"]),
    ("BPM", "TBPM", "BPM", "", ["120"]),
    ("ISRC", "TSRC", "ISRC", "", ["USRC17607839"]),
    ("LABEL", "TPUB", "Label", "", ["A Label"]),
    ("CATALOGNUMBER", "TXXX:CATALOGNUMBER", "CatalogNumber", "", ["QX-0042"]),
    ("BARCODE", "TXXX:BARCODE", "Barcode", "", ["0123456789012"]),
    ("WEBSITE", "WOAR", "Weblink", "", ["https://example.org/artist"]),
    ("CONDUCTOR", "TPE3", "Conductor", "", ["A Conductor"]),
    ("REMIXER", "TPE4", "MixArtist", "", ["A Remixer"]),
    ("GROUPING", "TIT1", "Grouping", "", ["A Grouping"]),
    ("SUBTITLE", "TIT3", "Subtitle", "", ["A Subtitle"]),
    ("DISCSUBTITLE", "TSST", "DiscSubtitle", "", ["A Disc Subtitle"]),
    ("MOOD", "TMOO", "Mood", "", ["Calm"]),
    ("MEDIA", "TMED", "Media", "", ["CD"]),
    ("LANGUAGE", "TLAN", "Language", "", ["eng"]),
    ("TITLESORT", "TSOT", "Title Sort", "", ["Matrix Title, The"]),
    ("ARTISTSORT", "TSOP", "Artist Sort", "", ["Artist, First"]),
    ("ALBUMSORT", "TSOA", "Album Sort", "", ["Album, The"]),
    ("ALBUMARTISTSORT", "TSO2", "Album Artist Sort", "", ["Artists, Various"]),
    ("COMPOSERSORT", "TSOC", "Composer Sort", "", ["Composer, A"]),
    ("MUSICBRAINZ_TRACKID", "UFID:http://musicbrainz.org", "MUSICBRAINZ_TRACKID", "",
     ["5b11f4ce-a62d-471e-81fc-a69a8278c7da"]),
    ("MUSICBRAINZ_RELEASETRACKID", "TXXX:MusicBrainz Release Track Id", "MUSICBRAINZ_RELEASETRACKID", "",
     ["0c0a2f8e-2b6e-4d3a-9d3c-2f1b5a7e9c01"]),
    ("MUSICBRAINZ_ALBUMID", "TXXX:MusicBrainz Album Id", "MUSICBRAINZ_ALBUMID", "",
     ["1d3e5f70-8a9b-4c0d-8e1f-203142536475"]),
    ("MUSICBRAINZ_ARTISTID", "TXXX:MusicBrainz Artist Id", "MUSICBRAINZ_ARTISTID", "",
     ["a1b2c3d4-0000-4000-8000-000000000001", "a1b2c3d4-0000-4000-8000-000000000002"]),
    ("MUSICBRAINZ_ALBUMARTISTID", "TXXX:MusicBrainz Album Artist Id", "MUSICBRAINZ_ALBUMARTISTID", "",
     ["89ad4ac3-39f7-470e-963a-56509c546377"]),
    ("MUSICBRAINZ_RELEASEGROUPID", "TXXX:MusicBrainz Release Group Id", "MUSICBRAINZ_RELEASEGROUPID", "",
     ["f2e1d0c9-b8a7-4695-8473-625140302010"]),
    ("MUSICBRAINZ_WORKID", "TXXX:MusicBrainz Work Id", "MUSICBRAINZ_WORKID", "",
     ["3c4d5e6f-7a8b-4c9d-8e0f-1a2b3c4d5e6f"]),
    ("MUSICBRAINZ_DISCID", "TXXX:MusicBrainz Disc Id", "MUSICBRAINZ_DISCID", "", ["lwHl8fGzJyLXQR33ug60E8jhf4k-"]),
    ("RELEASESTATUS", "TXXX:MusicBrainz Album Status", "MUSICBRAINZ_ALBUMSTATUS", "", ["official"]),
    ("RELEASETYPE", "TXXX:MusicBrainz Album Type", "MUSICBRAINZ_ALBUMTYPE", "", ["album"]),
    ("RELEASECOUNTRY", "TXXX:MusicBrainz Album Release Country", "RELEASECOUNTRY", "", ["GB"]),
    ("ACOUSTID_ID", "TXXX:Acoustid Id", "ACOUSTID_ID", "", ["9b1f2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"]),
    ("ACOUSTID_FINGERPRINT", "TXXX:Acoustid Fingerprint", "ACOUSTID_FINGERPRINT", "", ["AQAAT0mUaEkSRZEGAA"]),
    ("REPLAYGAIN_TRACK_GAIN", "TXXX:REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_GAIN", "", ["-6.20 dB"]),
    ("REPLAYGAIN_TRACK_PEAK", "TXXX:REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_TRACK_PEAK", "", ["0.988525"]),
    ("REPLAYGAIN_ALBUM_GAIN", "TXXX:REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_GAIN", "", ["-5.90 dB"]),
    ("REPLAYGAIN_ALBUM_PEAK", "TXXX:REPLAYGAIN_ALBUM_PEAK", "REPLAYGAIN_ALBUM_PEAK", "", ["0.999969"]),
    ("REPLAYGAIN_REFERENCE_LOUDNESS", "TXXX:REPLAYGAIN_REFERENCE_LOUDNESS", "REPLAYGAIN_REFERENCE_LOUDNESS", "",
     ["89.0 dB"]),
    ("R128_TRACK_GAIN", "TXXX:R128_TRACK_GAIN", "R128_TRACK_GAIN", "", ["-512"]),
    ("R128_ALBUM_GAIN", "TXXX:R128_ALBUM_GAIN", "R128_ALBUM_GAIN", "", ["-256"]),
    ("QUILLET_NOTE", "TXXX:QUILLET_NOTE", "QUILLET_NOTE", "", ["not in any map"]),
    # How the source was encoded: never carried.
    ("ENCODERSETTINGS", "TSSE", "", "", ["LAME 3.100 -V 2"]),
    ("ENCODER", "", "", "", ["Source Encoder 1.0"]),
    ("ENCODER_OPTIONS", "", "", "", ["--bitrate 96 --source-only"]),
]
ENCODING = {"ENCODERSETTINGS", "ENCODER", "ENCODER_OPTIONS"}
# Where a total shares its frame or item with its number ("3/12"), and the
# second Vorbis names of the totals.
PAIRS = {"TRACKNUMBER": "TOTALTRACKS", "DISCNUMBER": "TOTALDISCS"}
VORBIS_ALSO = {"TRACKTOTAL": "TOTALTRACKS", "DISCTOTAL": "TOTALDISCS"}
# The RIFF INFO items ffmpeg writes, by its names for them (ICMS by its id;
# "track" goes to IPRT; ISFT is ffmpeg's own "encoder").
FFMPEG_NAMES = {"title", "artist", "album", "comment", "copyright", "date", "genre", "track"}
FFMPEG_IDS = {"icms"}
APE_COVER = "Cover Art (Front)"
# Frames ID3v2.3 does not define, and the TXXX frames Picard writes for them
# in an ID3v2.3 tag.
V23_TXXX = {"TMOO": "MOOD", "TSST": "DISCSUBTITLE"}

ROW = {row[0]: row for row in FIELDS}


def scheme_of(path):
    ext = os.path.splitext(path)[1].lower()
    return {".mp3": "id3", ".flac": "vorbis", ".ogg": "vorbis", ".opus": "vorbis", ".mpc": "ape",
            ".wav": "riff"}[ext]


def holds(scheme, name):
    _, id3_key, ape_key, riff_key, _ = ROW[name]
    return {"id3": id3_key, "vorbis": name, "ape": ape_key, "riff": riff_key}[scheme] != ""


def vorbis_file(path):
    ext = os.path.splitext(path)[1].lower()
    return {".flac": FLAC, ".ogg": OggVorbis, ".opus": OggOpus}[ext](path)


def value(name):
    return ROW[name][4]


def paired(name):
    """ "3/12" of a number and its total."""
    return value(name)[0] + "/" + value(PAIRS[name])[0]


def picture():
    pic = Picture()
    pic.type, pic.mime, pic.desc, pic.data = 3, "image/jpeg", "Front", COVER
    return pic


# --- make ---------------------------------------------------------------------------


def id3_frames():
    frames = []
    for name, key, _, _, values in FIELDS:
        if not key or name in PAIRS.values():
            continue
        if name in PAIRS:
            frames.append(getattr(id3, key)(encoding=3, text=[paired(name)]))
        elif key.startswith("TXXX:"):
            frames.append(id3.TXXX(encoding=3, desc=key[5:], text=values))
        elif key.startswith("UFID:"):
            frames.append(id3.UFID(owner=key[5:], data=values[0].encode()))
        elif key == "COMM":
            frames.append(id3.COMM(encoding=3, lang="eng", desc="", text=values))
        elif key == "USLT":
            frames.append(id3.USLT(encoding=3, lang="eng", desc="", text=values[0]))
        elif key == "WXXX":
            frames.append(id3.WXXX(encoding=3, desc="", url=values[0]))
        elif key.startswith("W"):
            frames.append(getattr(id3, key)(url=values[0]))
        else:
            frames.append(getattr(id3, key)(encoding=3, text=values))
    frames.append(id3.APIC(encoding=3, mime="image/jpeg", type=3, desc="Front", data=COVER))
    return frames


def make_id3(path, version):
    tags = id3.ID3()
    for frame in id3_frames():
        tags.add(frame)
    if version == 3:
        # TDRC and TDOR become TYER+TDAT and TORY; the frames ID3v2.3 does not
        # define that taggers write there anyway (TSOP, TMOO, ...) go back in.
        dropped = [f for f in tags.values() if f.FrameID not in ("TDRC", "TDOR")]
        tags.update_to_v23()
        for frame in dropped:
            if frame.HashKey not in tags:
                tags.add(frame)
    tags.save(path, v2_version=version, v23_sep=None)


def make_vorbis(path):
    audio = vorbis_file(path)
    flac = path.lower().endswith(".flac")
    for name, _, _, _, values in FIELDS:
        if flac and name in PAIRS.values():
            name = {v: k for k, v in VORBIS_ALSO.items()}[name]
        audio[name] = values
    if flac:
        audio.add_picture(picture())
    else:
        audio["METADATA_BLOCK_PICTURE"] = [base64.b64encode(picture().write()).decode("ascii")]
    audio.save()


def make_ape(path):
    tags = apev2.APEv2()
    for name, _, key, _, values in FIELDS:
        if not key or name in PAIRS.values():
            continue
        tags[key] = [paired(name)] if name in PAIRS else values
    tags[APE_COVER] = apev2.APEValue(b"front.jpg\x00" + COVER, apev2.BINARY)
    tags.save(path)


def make_wav(path):
    plain = path + ".plain.wav"
    os.replace(path, plain)
    command = ["ffmpeg", "-v", "error", "-y", "-i", plain]
    for name, _, _, key, values in FIELDS:
        if key in FFMPEG_NAMES or key in FFMPEG_IDS:
            command += ["-metadata", "%s=%s" % (key if key in FFMPEG_NAMES else key.upper(), "; ".join(values))]
    subprocess.run(command + ["-c", "copy", path], check=True)
    os.remove(plain)


# --- read ---------------------------------------------------------------------------


def split_pair(fields, name, text):
    number, _, total = text.partition("/")
    if number:
        fields[name] = [number]
    if total:
        fields[PAIRS[name]] = [total]


def read_id3(path):
    fields, cover = {}, None
    try:
        tags = id3.ID3(path)
    except id3.ID3NoHeaderError:
        tags = None
    by_key = {row[1]: row[0] for row in FIELDS if row[1] and row[0] not in PAIRS.values()}
    txxx = {k[5:].lower(): n for k, n in by_key.items() if k.startswith("TXXX:")}
    if tags and tags.version < (2, 4, 0):
        txxx.update({name.lower(): name for name in V23_TXXX.values()})
    for frame in (tags.values() if tags else []):
        fid = frame.FrameID
        if fid == "APIC":
            if frame.type == 3:
                cover = frame.data
        elif fid == "TXXX":
            # A frame no map names keeps its ID3 key: a mapped field written
            # as "TXXX:ALBUMARTIST" is not the album artist's TPE2.
            fields[txxx.get(frame.desc.lower(), "TXXX:" + frame.desc)] = [str(t) for t in frame.text]
        elif fid == "UFID" and "UFID:" + frame.owner in by_key:
            fields[by_key["UFID:" + frame.owner]] = [frame.data.decode("utf-8", "replace")]
        elif fid in ("COMM", "USLT") and frame.desc == "":
            if by_key[fid] not in fields:
                fields[by_key[fid]] = [str(t) for t in frame.text] if fid == "COMM" else [frame.text]
        elif fid == "WXXX" and frame.desc == "":
            fields[by_key[fid]] = [frame.url]
        elif fid in by_key and fid.startswith("W"):
            fields[by_key[fid]] = [frame.url]
        elif fid in ("TRCK", "TPOS"):
            split_pair(fields, by_key[fid], str(frame.text[0]) if frame.text else "")
        elif fid == "TCON":
            fields["GENRE"] = list(frame.genres)
        elif fid in by_key:
            fields[by_key[fid]] = [str(t) for t in frame.text]
    return fields, cover


def read_vorbis(path):
    fields, cover = {}, None
    audio = vorbis_file(path)
    for key, values in (audio.tags.as_dict() if audio.tags else {}).items():
        name = key.upper()
        if name == "METADATA_BLOCK_PICTURE":
            for v in values:
                pic = Picture(base64.b64decode(v))
                if pic.type == 3:
                    cover = pic.data
        elif name in PAIRS:
            split_pair(fields, name, values[0])
        else:
            fields.setdefault(VORBIS_ALSO.get(name, name), list(values))
    for pic in getattr(audio, "pictures", []):
        if pic.type == 3:
            cover = pic.data
    return fields, cover


def read_ape(path):
    fields, cover = {}, None
    try:
        tags = apev2.APEv2(path)
    except apev2.APENoHeaderError:
        return fields, cover
    by_key = {row[2].lower(): row[0] for row in FIELDS if row[2] and row[0] not in PAIRS.values()}
    for key, item in tags.items():
        if key.lower() == APE_COVER.lower():
            cover = bytes(item.value).partition(b"\x00")[2]
            continue
        if item.kind != apev2.TEXT:
            continue
        name = by_key.get(key.lower(), key)
        if name in PAIRS:
            split_pair(fields, name, list(item)[0])
        else:
            fields[name] = list(item)
    return fields, cover


def disp_title(path):
    """The text of a top-level "DISP" chunk of type 1 (CF_TEXT), or None.

    Files that hold one keep their title there and the album in INAM;
    ffprobe reads INAM alone, as the title."""
    with open(path, "rb") as f:
        data = f.read()
    at = 12
    while at + 8 <= len(data):
        cid, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        body = data[at + 8:at + 8 + size]
        if cid == b"DISP" and len(body) >= 4 and struct.unpack("<I", body[:4])[0] == 1:
            return body[4:].split(b"\0")[0].decode("utf-8", "replace")
        at += 8 + size + (size & 1)
    return None


def read_riff(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "json", path],
                         check=True, capture_output=True, text=True).stdout
    tags = {k.lower(): v for k, v in json.loads(out).get("format", {}).get("tags", {}).items()}
    title = disp_title(path)
    if title is not None:
        tags.pop("title", None)
        if title:
            tags["title"] = title
    by_key = {row[3]: row[0] for row in FIELDS if row[3]}
    fields = {}
    for key, text in tags.items():
        name = by_key.get(key, key.upper())
        if name == "TRACKNUMBER":
            split_pair(fields, name, text)
        else:
            fields[name] = [text]
    return fields, None


def read(path):
    return {"id3": read_id3, "vorbis": read_vorbis, "ape": read_ape, "riff": read_riff}[scheme_of(path)](path)


def id3v1_title(path):
    with open(path, "rb") as f:
        f.seek(0, 2)
        if f.tell() < 128:
            return None
        f.seek(-128, 2)
        tail = f.read(128)
    if not tail.startswith(b"TAG"):
        return None
    return tail[3:33].split(b"\x00")[0].decode("latin-1").rstrip(" ")


def lines(path):
    fields, cover = read(path)
    out = ["%s=%s" % (name, v.replace("\n", "\\n")) for name, values in fields.items() for v in values]
    if cover is not None:
        out.append("COVER=" + hashlib.sha256(cover).hexdigest())
    if scheme_of(path) in ("id3", "ape"):
        title = id3v1_title(path)
        if title is not None:
            out.append("ID3V1:TITLE=" + title)
    return sorted(out)


# --- check --------------------------------------------------------------------------


def compare(source_scheme, source, target_scheme, target):
    """The number of fields compared and a line for each not as wanted."""
    (have, have_cover), (got, got_cover) = source, target
    compared, wrong = 0, []
    riff_source = source_scheme == "riff"
    for name, *_ in FIELDS:
        if not holds(source_scheme, name) or name not in have:
            continue
        encoding = name in ENCODING or (riff_source and name == "ENCODEDBY")
        if encoding:
            compared += 1
            # Under any name: a TXXX frame of the name is no less carried.
            carried = ["%s=%s" % (n, v) for n, values in got.items() for v in values if v in have[name]]
            if carried:
                wrong.append("%s: carried as %r" % (name, carried))
            continue
        if not holds(target_scheme, name):
            continue
        compared += 1
        want = have[name]
        if target_scheme == "riff" and len(want) > 1:
            want = ["; ".join(want)]
        if got.get(name, []) != want:
            wrong.append("%s: wanted %r got %r" % (name, want, got.get(name, [])))
    if "riff" not in (source_scheme, target_scheme) and have_cover is not None:
        compared += 1
        if got_cover != have_cover:
            wrong.append("front cover: %s" % ("missing" if got_cover is None else "other bytes"))
    return compared, wrong


def made(scheme):
    """What make gave a file of the scheme, as read gives it."""
    fields = {}
    for name, *_, values in FIELDS:
        if scheme == "riff":
            if ROW[name][3] in FFMPEG_NAMES or ROW[name][3] in FFMPEG_IDS:
                fields[name] = ["; ".join(values)]
        elif holds(scheme, name):
            fields[name] = values
    return fields, None if scheme == "riff" else COVER


def check(kind, source, targets):
    scheme = scheme_of(source)
    have = read(source)
    # The source against the table: what mutagen or ffmpeg wrote is what the
    # readers here read.
    want, _ = made(scheme)
    wrong = ["%s: wanted %r got %r" % (n, v, have[0].get(n, [])) for n, v in want.items() if have[0].get(n) != v]
    if have[1] != made(scheme)[1]:
        wrong.append("front cover: not as made")
    report = ["source %s %d %d" % (kind, len(want) + 1, len(wrong))] + ["\t" + w for w in wrong]
    for target in targets:
        ext = os.path.splitext(target)[1][1:].lower()
        if not os.path.exists(target):
            report += ["cell %s %s 0 1" % (kind, ext), "\tno output"]
            continue
        compared, wrong = compare(scheme, have, scheme_of(target), read(target))
        report += ["cell %s %s %d %d" % (kind, ext, compared, len(wrong))] + ["\t" + w for w in wrong]
    print("\n".join(report))


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "make":
        kind, path = sys.argv[2], sys.argv[3]
        if kind in ("id3v23", "id3v24"):
            make_id3(path, 3 if kind == "id3v23" else 4)
        elif kind in ("flac", "ogg", "opus"):
            make_vorbis(path)
        elif kind == "ape":
            make_ape(path)
        elif kind == "wav":
            make_wav(path)
        else:
            raise SystemExit("unknown kind " + kind)
    elif command == "read":
        for line in lines(sys.argv[2]):
            print(line)
    elif command == "check":
        check(sys.argv[2], sys.argv[3], sys.argv[4:])
    else:
        raise SystemExit("unknown command " + command)
