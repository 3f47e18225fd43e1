#!/usr/bin/env bash
# Makes the seed files of tests/fuzz/seeds/<harness>/ with the reference tools
# (ffmpeg, sox, lame, oggenc, flac, mutagen) and a few bytes laid out by hand:
# one short file per codec and container, each a few KB. The seeds are kept
# in the repository; run this only to make them again (the tools' versions
# change the bytes, not what the files hold). Reproducers of findings live
# beside them under names starting with "repro-" and are left alone.
#
#   bash tests/fuzz/make_seeds.sh
set -euo pipefail
cd "$(dirname "$0")"
seeds=$PWD/seeds
data=$PWD/../data
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

for tool in ffmpeg sox lame oggenc flac metaflac opusenc python3; do
  command -v $tool >/dev/null || { echo "make_seeds.sh: $tool is missing; run scripts/setup.sh" >&2; exit 2; }
done
py=/usr/bin/python3
$py -c 'import mutagen' 2>/dev/null || { echo "make_seeds.sh: python3-mutagen is missing" >&2; exit 2; }

ff() { ffmpeg -hide_banner -loglevel error -y -bitexact "$@"; }
# tone RATE CHANNELS SECONDS OUT: a sine as 16-bit WAV.
tone() { ff -f lavfi -i "sine=frequency=440:sample_rate=$1:duration=$3" -ac "$2" -c:a pcm_s16le "$4"; }

# Removes every seed but the reproducers.
shopt -s nullglob
for d in "$seeds"/*/; do find "$d" -maxdepth 1 -type f ! -name 'repro-*' -delete; done

# --- WAV: one file per format tag the codec manager decodes, and odd layouts.
tone 8000 1 0.1 t8m.wav
tone 8000 2 0.05 t8s.wav
tone 11025 1 0.05 t11m.wav
tone 44100 2 0.02 t44s.wav
mkdir wav
cp t8s.wav wav/pcm16_stereo.wav
ff -i t11m.wav -c:a pcm_u8 wav/pcm8_mono.wav
ff -i t8m.wav -ac 3 -c:a pcm_s24le wav/pcm24_extensible.wav
ff -i t8m.wav -c:a pcm_f32le wav/float32.wav
# Deeper samples as DAWs and sox write them: 32-bit integers, 64-bit floats
# (extensible from ffmpeg, plain format 3 from sox), and 20 valid bits in a
# 24-bit extensible container.
ff -i t8s.wav -c:a pcm_s32le wav/pcm32.wav
ff -i t8m.wav -c:a pcm_f64le wav/float64.wav
sox -V1 t8s.wav -e float -b 64 wav/float64_plain.wav
ff -i t8s.wav -c:a pcm_s24le wav/pcm24_valid20.wav
$py - wav/pcm24_valid20.wav <<'EOF'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
at = b.index(b'fmt ') + 8
assert b[at:at + 2] == b'\xfe\xff' and struct.unpack_from('<H', b, at + 14)[0] == 24
struct.pack_into('<H', b, at + 18, 20)  # wValidBitsPerSample
open(sys.argv[1], 'wb').write(b)
EOF
ff -i t8m.wav -c:a pcm_alaw wav/alaw.wav
ff -i t8m.wav -c:a pcm_mulaw wav/mulaw.wav
ff -i t8m.wav -c:a adpcm_ima_wav wav/ima_adpcm.wav
ff -i t8s.wav -c:a adpcm_ms wav/ms_adpcm_stereo.wav
ff -i t8m.wav -c:a libgsm_ms wav/gsm610.wav
ff -i t8m.wav -c:a libmp3lame -b:a 8k wav/mp3_in_wav.wav
ff -i t44s.wav -ar 32000 -ac 1 -c:a mp2 -b:a 32k wav/mp2_in_wav.wav
ff -i t8m.wav -c:a pcm_s16le -rf64 always wav/rf64.wav
ff -i t8m.wav -c:a pcm_s16le -metadata title="Seed title" -metadata artist="Seed artist" \
  -metadata comment="Seed comment" -metadata date=1999 wav/list_info.wav
# Streamed (sizes unknown) and cut short.
ff -i t8m.wav -c:a pcm_s16le -f wav pipe:1 > wav/streamed.wav
head -c 700 t8m.wav > wav/truncated.wav
# The tag chunks we manage besides "LIST" "INFO": "DISP", "cue ", "LIST" "adtl",
# "id3 " and chunks after "data".
$py - wav/list_info.wav wav/cue_adtl_disp_id3.wav <<'EOF'
import struct, sys
src, dst = sys.argv[1], sys.argv[2]
b = bytearray(open(src, 'rb').read())
def chunk(cid, body):
    pad = b'\0' if len(body) % 2 else b''
    return cid + struct.pack('<I', len(body)) + body + pad
disp = chunk(b'DISP', struct.pack('<I', 1) + b'Display title\0')
cues = chunk(b'cue ', struct.pack('<I', 2) +
             struct.pack('<II4sIII', 1, 0, b'data', 0, 0, 0) +
             struct.pack('<II4sIII', 2, 400, b'data', 0, 0, 400))
adtl = chunk(b'LIST', b'adtl' + chunk(b'labl', struct.pack('<I', 1) + b'first\0') +
             chunk(b'note', struct.pack('<I', 2) + b'a note\0') +
             chunk(b'ltxt', struct.pack('<IIIHHHH', 1, 200, 0x20677272, 0, 0, 0, 0) + b'region\0'))
id3 = b'ID3\x03\x00\x00' + bytes([0, 0, 0, 24]) + b'TALB' + struct.pack('>I', 10) + b'\0\0' + b'\0Seed albu'
id3 = id3.ljust(10 + 24, b'\0')
b += disp + cues + adtl + chunk(b'id3 ', id3) + chunk(b'JUNK', b'\0' * 6)
struct.pack_into('<I', b, 4, len(b) - 8)
open(dst, 'wb').write(b)
EOF
# A 160-byte damaged file: its RIFF size runs past the end, and it ends in an
# empty "JUNK" chunk.
$py - wav/damaged_junk_end.wav <<'EOF'
import struct, sys
def chunk(cid, body):
    return cid + struct.pack('<I', len(body)) + body + (b'\0' if len(body) % 2 else b'')
fmt = chunk(b'fmt ', struct.pack('<HHIIHH', 1, 1, 8000, 16000, 2, 16))
info = chunk(b'LIST', b'INFO' + chunk(b'INAM', b'Old\0'))
body = b'WAVE' + fmt + info
data = chunk(b'data', b'\x01\x02' * ((160 - 8 - len(body) - 8 - 8) // 2))
b = b'RIFF' + struct.pack('<I', 4000) + body + data + b'JUNK' + struct.pack('<I', 0)
assert len(b) == 160, len(b)
open(sys.argv[1], 'wb').write(b)
EOF

# --- MPEG audio: lame and ffmpeg streams of every version and layer.
mkdir mpeg
lame --quiet -b 32 -m m --resample 22.05 t11m.wav mpeg/l3_mpeg2_cbr_lametag.mp3
lame --quiet -V 6 --resample 44.1 t44s.wav mpeg/l3_vbr_xing.mp3
lame --quiet -t -b 8 t8m.wav mpeg/l3_mpeg25_notag.mp3
lame --quiet -b 40 --resample 32 -m j t44s.wav mpeg/l3_joint_cbr.mp3
ff -i t8m.wav -c:a libmp3lame -b:a 16k mpeg/l3_ffmpeg_id3v2.mp3
ff -i t44s.wav -ar 32000 -ac 1 -c:a mp2 -b:a 32k mpeg/l2_mono.mp2
ff -i t44s.wav -ar 48000 -c:a mp2 -b:a 64k -t 0.03 mpeg/l2_stereo.mp2
head -c 2304 "$data/mpeg/l1-fl4.bit" > mpeg/l1_conformance.mp1
lame --quiet -t -b 32 --resample 44.1 t11m.wav cbr_plain.mp3
# A "VBRI" header in a first frame like the encoders that write it.
$py - cbr_plain.mp3 mpeg/l3_vbri.mp3 <<'EOF'
import struct, sys
b = open(sys.argv[1], 'rb').read()
i = b.index(b'\xff\xfb')
h = b[i:i+4]
frame_len = 144 * 32000 // 44100
first = bytearray(h + b'\0' * (frame_len - 4))
vbri = (b'VBRI' + struct.pack('>HHHIIHHHH', 1, 576, 75, len(b) - i + frame_len, 9, 3, 1, 2, 3) +
        struct.pack('>HHH', 100, 100, 100))
first[36:36 + len(vbri)] = vbri
open(sys.argv[2], 'wb').write(b[:i] + bytes(first) + b[i:])
EOF
# Rich tags: ID3v2.4 and ID3v2.3 with frames we do not manage (cover art,
# private data), ID3v1.1, APEv2.
cp cbr_plain.mp3 mpeg/id3v24_rich_id3v1.mp3
cp cbr_plain.mp3 mpeg/id3v23_rich.mp3
cp cbr_plain.mp3 mpeg/apev2.mp3
$py - mpeg/id3v24_rich_id3v1.mp3 mpeg/id3v23_rich.mp3 mpeg/apev2.mp3 <<'EOF'
import sys
from mutagen.id3 import ID3, TIT2, TPE1, TALB, COMM, APIC, TXXX, PRIV, TRCK, TCON, TDRC, WXXX, USLT
from mutagen.apev2 import APEv2
png = bytes.fromhex('89504e470d0a1a0a0000000d4948445200000001000000010806000000'
                    '1f15c4890000000d49444154789c6360000002000100ffff03000006000557bfabd40000000049454e44ae426082')
for path, version in ((sys.argv[1], 4), (sys.argv[2], 3)):
    t = ID3()
    t.add(TIT2(encoding=3, text=['Seed title \u00e9']))
    t.add(TPE1(encoding=1, text=['Seed artist']))
    t.add(TALB(encoding=0, text=['Seed album']))
    t.add(COMM(encoding=3, lang='eng', desc='', text=['Seed comment']))
    t.add(TRCK(encoding=0, text=['3/12']))
    t.add(TCON(encoding=0, text=['(17)Rock']))
    t.add(TDRC(encoding=0, text=['1999']))
    t.add(WXXX(encoding=0, desc='', url='http://example.org/'))
    t.add(TXXX(encoding=3, desc='replaygain_track_gain', text=['-3.2 dB']))
    t.add(USLT(encoding=3, lang='eng', desc='', text='la la'))
    t.add(PRIV(owner='seed', data=b'\x00\x01\x02'))
    t.add(APIC(encoding=0, mime='image/png', type=3, desc='', data=png))
    t.save(path, v2_version=version, v1=2 if version == 4 else 0, padding=lambda info: 16)
a = APEv2()
a['Title'] = 'Seed title'
a['Artist'] = 'Seed artist'
a.save(sys.argv[3])
EOF

# --- Ogg Vorbis, with comments.
mkdir ogg
oggenc --quiet -q -1 -t "Seed title" -a "Seed artist" -c "COMMENT=Seed comment" -c "DATE=1999" \
  -o ogg/vorbis_mono.ogg t8m.wav
head -c 1800 ogg/vorbis_mono.ogg > ogg/vorbis_cut.ogg

# --- AVI sound tracks: constant-size samples (PCM, IMA ADPCM) and one
# chunk per sample (MP3).
mkdir avi
ff -i t8m.wav -c:a pcm_s16le -f avi avi/pcm.avi
ff -i t8m.wav -c:a adpcm_ima_wav -f avi avi/ima_adpcm.avi
ff -i t8m.wav -c:a libmp3lame -b:a 8k -f avi avi/mp3.avi

# Small AVI files laid out by hand (a few hundred bytes, where ffmpeg's carry
# kilobytes of padding): PCM with an index, and one-chunk samples without.
$py - avi/small_pcm.avi avi/small_chunks_noidx.avi <<'EOF'
import math, struct, sys
def chunk(cid, body):
    return cid + struct.pack('<I', len(body)) + body + (b'\0' if len(body) % 2 else b'')
def lst(t, body):
    return chunk(b'LIST', t + body)
def avi(sample_size, block, blocks, length, index):
    fmt = struct.pack('<HHIIHH', 1, 1, 8000, 16000, 2, 16)
    avih = struct.pack('<14I', 0, 0, 0, 0x10, blocks, 0, 1, 0, 0, 0, 0, 0, 0, 0)
    strh = b'auds' + struct.pack('<IIHHIIIIIIIIhhhh', 0, 0, 0, 0, 0, 1, 8000, 0, length, len(block),
                                 0xFFFFFFFF, sample_size, 0, 0, 0, 0)
    hdrl = lst(b'hdrl', chunk(b'avih', avih) + lst(b'strl', chunk(b'strh', strh) + chunk(b'strf', fmt)))
    body = b'AVI ' + hdrl + lst(b'movi', chunk(b'00wb', block) * blocks)
    if index:
        body += chunk(b'idx1', b''.join(b'00wb' + struct.pack('<III', 0x10, 4 + k * (8 + len(block)), len(block))
                                        for k in range(blocks)))
    return b'RIFF' + struct.pack('<I', len(body)) + body
block = b''.join(struct.pack('<h', int(8000 * math.sin(i / 3))) for i in range(64))
open(sys.argv[1], 'wb').write(avi(2, block, 3, 3 * 64, True))
open(sys.argv[2], 'wb').write(avi(0, block, 2, 2, False))
EOF
# MS ADPCM whose blocks use a last coefficient pair at the edge of the 16-bit
# range, after the seven standard ones (boundary values for the mutations).
$py - wav/ms_adpcm_edge_coefficients.wav <<'EOF'
import struct, sys
def chunk(cid, body):
    return cid + struct.pack('<I', len(body)) + body + (b'\0' if len(body) % 2 else b'')
spb, align = 116, 64
pairs = [(256, 0), (512, -256), (0, 0), (192, 64), (240, 0), (460, -208), (392, -232), (-32768, 0)]
fmt = (struct.pack('<HHIIHHH', 2, 1, 8000, 8000 * align // spb, align, 4, 4 + 4 * len(pairs)) +
       struct.pack('<HH', spb, len(pairs)) + b''.join(struct.pack('<hh', a, b) for a, b in pairs))
block = struct.pack('<BHhh', 7, 1024, -32768, 32767) + bytes(range(0x10, 0x10 + align - 7))
form = b'WAVE' + chunk(b'fmt ', fmt) + chunk(b'data', block * 2)
open(sys.argv[1], 'wb').write(b'RIFF' + struct.pack('<I', len(form)) + form)
EOF

# --- Headerless files: VOX, G.726 at 16 to 40 kbit/s, raw PCM, A-law, GSM.
mkdir raw
sox t8m.wav -t vox raw/oki.vox
for kbps in 16 24 32 40; do ff -i t8m.wav -c:a g726le -b:a ${kbps}k -f g726le raw/g726_$kbps.g726; done
ff -i t8m.wav -f s16le raw/pcm16.raw
ff -i t8m.wav -f alaw raw/alaw.raw
$py - wav/gsm610.wav raw/gsm610.raw <<'EOF'
import sys
b = open(sys.argv[1], 'rb').read()
i = b.index(b'data')
open(sys.argv[2], 'wb').write(b[i + 8:])
EOF
printf '\x02dss\x01\x00\x00\x00' > raw/speech.dss
head -c 600 /dev/zero | tr '\0' '\125' >> raw/speech.dss

mkdir mpc
cp "$data/mpc/click.mpc" "$data/mpc/sv5_header.mpc" "$data/mpc/almostempty.mpc" mpc/

# --- The harnesses' seed folders.
put() {  # put HARNESS PREFIX-BYTES FILE...: copies files, each behind the prefix bytes
  local h=$1 prefix=$2
  shift 2
  mkdir -p "$seeds/$h"
  for f in "$@"; do
    local name
    name=$(basename "$f")
    { printf "$prefix"; cat "$f"; } > "$seeds/$h/$name"
  done
}
put riff_wave_fuzz '' wav/*.wav
put wav_info_fuzz '' wav/list_info.wav wav/cue_adtl_disp_id3.wav wav/damaged_junk_end.wav wav/rf64.wav wav/pcm16_stereo.wav \
  wav/pcm32.wav wav/float64.wav wav/float64_plain.wav wav/pcm24_valid20.wav
put mpeg_stream_fuzz '' mpeg/*
put mpeg_info_fuzz '' mpeg/* wav/mp3_in_wav.wav wav/mp2_in_wav.wav
put ogg_comments_fuzz '' ogg/*

# id3_fuzz: the tags alone, and an ID3v1.1 block.
$py - "$seeds/id3_fuzz" mpeg/id3v24_rich_id3v1.mp3 mpeg/id3v23_rich.mp3 <<'EOF'
import struct, sys, os
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for path, name in ((sys.argv[2], 'id3v24_rich.id3'), (sys.argv[3], 'id3v23_rich.id3')):
    b = open(path, 'rb').read()
    size = 10 + ((b[6] << 21) | (b[7] << 14) | (b[8] << 7) | b[9])
    open(os.path.join(out, name), 'wb').write(b[:size])
    if name == 'id3v24_rich.id3':
        open(os.path.join(out, 'id3v11.tag'), 'wb').write(b[-128:])
def syncsafe(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
def f22(fid, text):
    body = b'\0' + text
    return fid + len(body).to_bytes(3, 'big') + body
frames = f22(b'TT2', b'Old title') + f22(b'TP1', b'Old artist') + f22(b'COM', b'engdesc\0comment') + f22(b'TCO', b'(17)')
open(os.path.join(out, 'id3v22.id3'), 'wb').write(b'ID3\x02\x00\x00' + syncsafe(len(frames)) + frames)
# ID3v2.3 with unsynchronisation and an extended header.
body = b'TIT2' + struct.pack('>I', 6) + b'\0\0' + b'\0Ti\xff\x00t'
ext = struct.pack('>IH I', 6, 0, 0)
tag = ext + body
open(os.path.join(out, 'id3v23_unsync_ext.id3'), 'wb').write(b'ID3\x03\x00\xc0' + syncsafe(len(tag)) + tag)
# ID3v2.4 with a footer.
body = b'TIT2' + syncsafe(5) + b'\0\0' + b'\0Four'
open(os.path.join(out, 'id3v24_footer.id3'), 'wb').write(
    b'ID3\x04\x00\x10' + syncsafe(len(body)) + body + b'3DI\x04\x00\x10' + syncsafe(len(body)))
EOF

# apev2_fuzz: files ending with tags: a Musepack file's APEv2 tag, mutagen's
# (several values, covers, binary and link items) before Lyrics3 v2 and
# ID3v1, a version 1000 tag without header, Lyrics3 v1.
$py - "$seeds/apev2_fuzz" "$data/mpc/full-tagged.mpc" <<'EOF'
import os, struct, sys, mutagen.apev2 as a
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
b = open(sys.argv[2], 'rb').read()
open(os.path.join(out, 'mpc_tail.bin'), 'wb').write(b[-1000:])
id3v1 = b'TAG' + b'Title'.ljust(30, b'\0') + b'\0' * 94 + b'\xff'
def lyrics2(text):
    body = b'LYRICSBEGIN' + b'IND00002' + b'10' + b'LYR' + b'%05d' % len(text) + text
    return body + b'%06d' % len(body) + b'LYRICS200'
p = os.path.join(out, 'mutagen_lyrics3_id3v1.bin')
open(p, 'wb').write(b'\x55' * 64)
t = a.APEv2()
t['Title'] = ['One', 'Two']
t['Track'] = '3/12'
t['Disc'] = '1/2'
t['Year'] = '2021-06-01'
t['MUSICBRAINZ_ALBUMID'] = '9e873859-8aa4-4790-b985-5a953e8ef628'
t['Blob'] = a.APEValue(b'\x00\x01', a.BINARY)
t['Homepage'] = a.APEValue('http://example.org/', a.EXTERNAL)
t['Cover Art (Front)'] = a.APEValue(b'f.png\x00\x89PNG\r\n\x1a\n', a.BINARY)
t.save(p)
open(p, 'ab').write(lyrics2(b'la la') + id3v1)
item = lambda key, value: struct.pack('<II', len(value), 0) + key + b'\0' + value
items = item(b'Artist', b'Old') + item(b'DATE', b'1999')
footer = b'APETAGEX' + struct.pack('<IIII', 1000, len(items) + 32, 2, 0) + b'\0' * 8
open(os.path.join(out, 'v1000_id3v1.bin'), 'wb').write(b'\x55' * 32 + items + footer + id3v1)
open(os.path.join(out, 'lyrics3v1_id3v1.bin'), 'wb').write(b'\x55' * 32 + b'LYRICSBEGINwordsLYRICSEND' + id3v1)
EOF

# audiofile_fuzz: byte 0 the format type (0 WAV, 1 MP3, 2 VOX, 3 RAW, 4 G.726,
# 5 Ogg, 6 G.721, 7 G.723, 8 AVI, 9 MPEG Plus, 10 speech), byte 1 the
# variant (raw compression, G.72x bits, rate), byte 2 the array format.
put audiofile_fuzz '\x00\x00\x07' wav/pcm16_stereo.wav wav/pcm8_mono.wav wav/pcm24_extensible.wav wav/alaw.wav \
  wav/mulaw.wav wav/ima_adpcm.wav wav/ms_adpcm_stereo.wav wav/gsm610.wav wav/mp3_in_wav.wav wav/mp2_in_wav.wav \
  wav/rf64.wav wav/streamed.wav wav/ms_adpcm_edge_coefficients.wav
put avi_fuzz '\x08\x00\x07' avi/pcm.avi avi/ima_adpcm.avi avi/mp3.avi avi/small_pcm.avi avi/small_chunks_noidx.avi
# flac_fuzz (audiofile_fuzz built for the format type FLAC alone): the flac
# tool's files at every depth, with and without a seek table, tags and a
# picture, an ID3v2 tag in front, more channels than the engine takes, and a
# stream whose STREAMINFO leaves the length unknown; byte 2 the array format
# (7 the file's own, 0x0a 22050 Hz stereo).
mkdir flac
fl() { flac -s -f --no-padding "$@"; }
sox -V1 -r 8000 -n -b 16 -c 2 f16s.wav synth 0.08 sine 440 sine 1000
sox -V1 -r 8000 -n -b 24 -c 1 f24m.wav synth 0.1 sine 440 whitenoise gain -n -3
sox -V1 -r 11025 -n -b 8 -c 1 f8m.wav synth 0.1 sine 440
sox -V1 -r 8000 -n -b 16 -c 3 f16t.wav synth 0.03 sine 440 sine 660 sine 880
fl --no-seektable -o flac/s16_stereo.flac f16s.wav
fl --no-seektable -o flac/s24_mono.flac f24m.wav
fl --no-seektable -o flac/s8_mono.flac f8m.wav
fl -b 256 -S 128x -o flac/s16_seektable_small_blocks.flac f16s.wav
fl --no-seektable -0 -o flac/s16_level0.flac f16s.wav
fl --no-seektable --channel-map=none -o flac/three_channels.flac f16t.wav
fl --no-seektable -T TITLE=Seed -T ARTIST=Quillet -o flac/tagged.flac f16s.wav
printf '\x89PNG\r\n\x1a\n0000IHDR' > cover.png
metaflac --import-picture-from="3|image/png|front|1x1x24/0|cover.png" flac/tagged.flac
sox -V1 f16s.wav -t raw - | flac -s --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 \
  --sample-rate=8000 --no-padding --no-seektable -c - > flac/unknown_length.flac 2>/dev/null
{ printf 'ID3\x03\x00\x00\x00\x00\x00\x0aTIT2\x00\x00\x00\x00\x00\x00'; cat flac/s16_stereo.flac; } > flac/id3_in_front.flac
put flac_fuzz '\x0d\x00\x07' flac/*.flac
for f in s16_stereo s24_mono; do
  { printf '\x0d\x00\x0a'; cat flac/$f.flac; } > "$seeds/flac_fuzz/${f}_array22050.flac"
done
# opus_fuzz (audiofile_fuzz built for the format type OPUS alone): opusenc's
# files in mono and stereo at low bitrates, one fed at 8000 Hz, one with
# comments, one of three channels (mixed down), a chained file (two streams
# one after the other); byte 2 the array format.
mkdir opus
op() { opusenc --quiet --padding 0 "$@"; }
op --bitrate 8 f16s.wav opus/stereo8k.opus
op --bitrate 6 --downmix-mono f16s.wav opus/mono.opus
op --bitrate 6 --comment TITLE=Seed --artist Quillet f8m.wav opus/tagged.opus
op --bitrate 12 f16t.wav opus/three_channels.opus
cat opus/mono.opus opus/stereo8k.opus > opus/chained.opus
put opus_fuzz '\x0e\x00\x07' opus/*.opus
{ printf '\x0e\x00\x0a'; cat opus/stereo8k.opus; } > "$seeds/opus_fuzz/stereo8k_array22050.opus"
# aiff_fuzz: AIFF from sox (8, 16, 24 bits; AIFF-C floats) and ffmpeg
# (32 bits, "sowt", "raw ", 64-bit floats), one of three channels, and one
# laid out by hand with "SSND" first, an "SSND" offset, odd-sized chunks
# between and "COMM" last.
mkdir aiff
sox -V1 f16s.wav -b 8 aiff/s8_stereo.aiff trim 0 0.03
sox -V1 f16s.wav aiff/s16_stereo.aiff trim 0 0.03
sox -V1 f24m.wav aiff/s24_mono.aiff trim 0 0.05
sox -V1 f16s.wav -e floating-point -b 32 aiff/fl32_stereo.aifc trim 0 0.02
sox -V1 f16t.wav aiff/three_channels.aiff
ff -i t8s.wav -t 0.02 -c:a pcm_s32be aiff/s32_stereo.aiff
ff -i t8m.wav -t 0.05 -c:a pcm_s16le aiff/sowt_mono.aifc
ff -i t8m.wav -t 0.05 -c:a pcm_u8 aiff/raw_mono.aifc
ff -i t8m.wav -t 0.02 -c:a pcm_f64be aiff/fl64_mono.aifc
$py - aiff/s16_stereo.aiff aiff/reordered.aiff <<'EOF'
import struct, sys
b = open(sys.argv[1], 'rb').read()
chunks, at = {}, 12
while at + 8 <= len(b):
    cid, size = b[at:at + 4], struct.unpack('>I', b[at + 4:at + 8])[0]
    chunks[cid] = b[at + 8:at + 8 + size]
    at += 8 + size + (size & 1)
def chunk(cid, data):
    return cid + struct.pack('>I', len(data)) + data + (b'\0' if len(data) & 1 else b'')
frames = struct.unpack('>I', chunks[b'COMM'][2:6])[0] // 2  # half the frames, behind a 4-byte offset
ssnd = struct.pack('>II', 4, 0) + b'\xaa' * 4 + chunks[b'SSND'][8:8 + frames * 4]
comm = chunks[b'COMM'][:2] + struct.pack('>I', frames) + chunks[b'COMM'][6:]
body = b'AIFF' + chunk(b'SSND', ssnd) + chunk(b'NAME', b'odd') + chunk(b'APPL', b'appl1') + chunk(b'COMM', comm)
open(sys.argv[2], 'wb').write(b'FORM' + struct.pack('>I', len(body)) + body)
EOF
put aiff_fuzz '' aiff/*
# flac_tags_fuzz (the FLAC metadata reader and writer): a file without
# padding, one with comments (a name twice, one the properties do not own), a
# PNG front cover, an APPLICATION block and padding, one behind an ID3v2 tag;
# ogg_comments_fuzz also takes Opus files, with and without padding in their
# tags packet, one with a picture.
mkdir flactags
tone 8000 1 0.05 ft.wav
ff -f lavfi -i testsrc=size=8x8 -frames:v 1 ft.png
flac -s --no-padding -o flactags/no_padding.flac ft.wav
flac -s -P 200 -o flactags/tagged_picture_application.flac ft.wav
metaflac --dont-use-padding --set-tag=TITLE=Title --set-tag=ARTIST=A --set-tag=artist=B --set-tag=MOOD=calm \
  --set-tag=DATE=2001 "--import-picture-from=3|image/png|front||ft.png" flactags/tagged_picture_application.flac
$py - flactags/tagged_picture_application.flac <<'PYEOF'
import sys
from mutagen.flac import FLAC, MetadataBlock
f = FLAC(sys.argv[1]); b = MetadataBlock(b'qoro' + bytes(range(16))); b.code = 2
f.metadata_blocks.insert(1, b); f.save(padding=lambda info: 64)
PYEOF
{ printf 'ID3\x03\x00\x00\x00\x00\x00\x0a'; head -c 10 /dev/zero; cat flactags/no_padding.flac; } > flactags/id3_in_front.flac
mkdir -p "$seeds/flac_tags_fuzz"
cp flactags/*.flac "$seeds/flac_tags_fuzz/"
opusenc --quiet --bitrate 6 --title T --comment MOOD=calm --padding 0 ft.wav "$seeds/ogg_comments_fuzz/opus_no_padding.opus"
opusenc --quiet --bitrate 6 --artist A --padding 64 "--picture=3|image/png|front||ft.png" ft.wav \
  "$seeds/ogg_comments_fuzz/opus_picture_padding.opus"
put audiofile_fuzz '\x80\x00\x0b' wav/float32.wav
put audiofile_fuzz '\x00\x00\x0f' wav/pcm32.wav wav/float64.wav wav/float64_plain.wav wav/pcm24_valid20.wav
put audiofile_fuzz '\x00\x01\x03' wav/mp3_in_wav.wav
cp "$seeds/audiofile_fuzz/mp3_in_wav.wav" "$seeds/audiofile_fuzz/mp3_in_wav_acm.wav"
put audiofile_fuzz '\x00\x00\x07' wav/mp3_in_wav.wav
put audiofile_fuzz '\x01\x00\x07' mpeg/l3_vbr_xing.mp3 mpeg/l3_mpeg25_notag.mp3 mpeg/l2_mono.mp2 mpeg/l1_conformance.mp1
put audiofile_fuzz '\x01\x01\x0a' mpeg/l3_mpeg2_cbr_lametag.mp3
put audiofile_fuzz '\x02\x00\x00' raw/oki.vox
put audiofile_fuzz '\x03\x00\x07' raw/pcm16.raw                            # PCM 16-bit mono 8000 Hz
put audiofile_fuzz '\x03\x02\x07' raw/alaw.raw                              # A-law
put audiofile_fuzz '\x03\x06\x07' raw/gsm610.raw                            # GSM 6.10
put audiofile_fuzz '\x04\x00\x00' raw/g726_16.g726
put audiofile_fuzz '\x04\x02\x00' raw/g726_24.g726
put audiofile_fuzz '\x84\x04\x00' raw/g726_32.g726
put audiofile_fuzz '\x04\x06\x00' raw/g726_40.g726
put audiofile_fuzz '\x06\x00\x00' raw/g726_32.g726
cp "$seeds/audiofile_fuzz/g726_32.g726" "$seeds/audiofile_fuzz/g721.g726"
put audiofile_fuzz '\x04\x04\x00' raw/g726_32.g726
put audiofile_fuzz '\x07\x00\x00' raw/g726_24.g726
put audiofile_fuzz '\x05\x00\x07' ogg/vorbis_mono.ogg
put audiofile_fuzz '\x08\x00\x07' avi/pcm.avi avi/ima_adpcm.avi avi/mp3.avi avi/small_pcm.avi avi/small_chunks_noidx.avi
put audiofile_fuzz '\x09\x00\x07' mpc/click.mpc
put audiofile_fuzz '\x0a\x00\x07' raw/speech.dss

# audioinfo_fuzz: byte 0 the extension (0 wav, 1 mp3, 2 mp2, 3 ogg, 4 mpc,
# 5 avi, 6 mp+, 7 none) and the options.
put audioinfo_fuzz '\x20' wav/list_info.wav wav/cue_adtl_disp_id3.wav wav/ms_adpcm_stereo.wav wav/mp3_in_wav.wav
put audioinfo_fuzz '\x00' wav/damaged_junk_end.wav wav/rf64.wav wav/pcm32.wav wav/float64.wav wav/float64_plain.wav \
  wav/pcm24_valid20.wav
put audioinfo_fuzz '\x01' mpeg/id3v24_rich_id3v1.mp3 mpeg/apev2.mp3
put audioinfo_fuzz '\x11' mpeg/id3v23_rich.mp3 mpeg/l3_vbri.mp3
put audioinfo_fuzz '\x09' mpeg/l3_vbr_xing.mp3
put audioinfo_fuzz '\x02' mpeg/l2_mono.mp2
put audioinfo_fuzz '\x03' ogg/vorbis_mono.ogg
put audioinfo_fuzz '\x04' mpc/click.mpc
put audioinfo_fuzz '\x06' mpc/sv5_header.mpc
put audioinfo_fuzz '\x05' avi/pcm.avi avi/mp3.avi avi/small_pcm.avi
put audioinfo_fuzz '\x07' raw/pcm16.raw

# profile_fuzz: section, key and value lines, then the file.
# acm_fuzz: the records and stream heads of the WAV seeds in the harness's
# layout (every field given raw: selector 0x80, then its two bytes), decoded,
# and the same records encoding the PCM of a tone.
$py - "$seeds/acm_fuzz" t8m.wav wav/pcm16_stereo.wav wav/alaw.wav wav/mulaw.wav wav/ima_adpcm.wav \
  wav/ms_adpcm_stereo.wav wav/ms_adpcm_edge_coefficients.wav wav/gsm610.wav wav/mp3_in_wav.wav <<'EOF'
import struct, sys, os
out, pcm_source = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
tags = [1, 2, 6, 7, 17, 49, 85]
rates = [8000, 11025, 16000, 22050, 32000, 44100, 48000, 6000]
def chunks(b):
    at = 12
    while at + 8 <= len(b):
        cid, size = b[at:at + 4], struct.unpack('<I', b[at + 4:at + 8])[0]
        yield cid, b[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
def raw(v):
    return b'\x80' + struct.pack('<H', v & 0xFFFF)
def record_fields(fmt):
    tag, ch, rate, avg, align, bits = struct.unpack('<HHIIHH', fmt[:16])
    extra = fmt[18:] if len(fmt) > 18 else b''
    head = raw(align) + raw(bits) + struct.pack('<H', (avg // 4) & 0xFFFF)
    if tag == 2:
        spb, n = struct.unpack('<HH', extra[:4])
        head += raw(spb) + bytes([(n - 1) % 9]) + b''.join(raw(v) for v in struct.unpack('<%dh' % (2 * n), extra[4:4 + 4 * n]))
    elif tag in (17, 49):
        head += raw(struct.unpack('<H', extra[:2])[0])
    elif tag == 85:
        wid, flags, size, frames, delay = struct.unpack('<HIHHH', extra[:12])
        head += raw(wid) + raw(flags) + raw(size) + raw(frames) + raw(delay)
    return tag, ch, rate, head
def stream_head(tag, ch, data):
    if tag == 2:
        h = bytes(data[:ch]) + b''.join(raw(v) for v in struct.unpack('<%dh' % (3 * ch), data[ch:7 * ch]))
        return h + data[7 * ch:]
    if tag == 17:
        h = b''
        for c in range(ch):
            s, idx = struct.unpack('<hB', data[4 * c:4 * c + 3])
            h += raw(s) + bytes([idx])
        return h + data[4 * ch:]
    return data
pcm = dict(chunks(open(pcm_source, 'rb').read()))[b'data'][:4000]
for path in sys.argv[3:]:
    parts = dict(chunks(open(path, 'rb').read()))
    tag, ch, rate, fields = record_fields(parts[b'fmt '])
    flags = (1 if ch == 2 else 0) | (rates.index(rate) << 2 if rate in rates else 0)
    name = os.path.splitext(os.path.basename(path))[0]
    prefix = bytes([tags.index(tag)])
    data = parts[b'data'][:3000]
    open(os.path.join(out, name + '.decode'), 'wb').write(prefix + bytes([flags]) + fields + stream_head(tag, ch, data))
    if tag != 85:
        samples = pcm if ch == 1 else b''.join(pcm[i:i + 2] * 2 for i in range(0, len(pcm), 2))
        open(os.path.join(out, name + '.encode'), 'wb').write(prefix + bytes([flags | 2]) + fields + samples[:4000])
EOF
mkdir -p "$seeds/profile_fuzz"
printf 'Settings\nWaveDir\n/home/me/Wave Files/\n; Quillet options\r\n[Settings]\r\nWaveDir=/music/\r\nBitRate1=192\r\n\r\n[Window]\r\nLeft = 10\r\nTitle="  quoted  "\r\n' \
  > "$seeds/profile_fuzz/option_crlf.ini"
printf 'window\nleft\n-3\n\xef\xbb\xbf[Other]\nleft=1\n[Window]\n# comment\nLeft=  7  \nleft=8\n[Window]\nTop=2' \
  > "$seeds/profile_fuzz/option_bom_duplicates.ini"
printf 'New\nKey\n"value"\n' > "$seeds/profile_fuzz/option_empty.ini"

# registry_fuzz: a registry as DllRegisterServer writes it.
mkdir -p "$seeds/registry_fuzz"
cat > "$seeds/registry_fuzz/registry.txt" <<'EOF'
QORO REGISTRY 1

[CLSID\{3A6B2C10-8E0F-4C53-9C3B-6B1E2D4F5A01}]
@="AudioFile Class"

[CLSID\{3A6B2C10-8E0F-4C53-9C3B-6B1E2D4F5A01}\InprocServer32]
@="/usr/lib/x86_64-linux-gnu/qoro/libQoroAudioFile.so"
"ThreadingModel"="Apartment"

[CLSID\{3A6B2C10-8E0F-4C53-9C3B-6B1E2D4F5A01}\ProgID]
@="QoroAudioFile.AudioFile.1"

[QoroAudioFile.AudioFile\CurVer]
@="QoroAudioFile.AudioFile.1"
; a comment
"Quoted \"name\""="back\\slash\nnew line"
EOF
printf 'QORO REGISTRY 1\r\n[a\\\\b\\]\r\n@="x"\r\n[broken\r\n"no end=\r\n' > "$seeds/registry_fuzz/registry_damaged.txt"

# ogg_serial_fuzz: one short Vorbis and one short Opus stream.
mkdir -p "$seeds/ogg_serial_fuzz"
tone 8000 1 0.05 serial.wav
oggenc -Q -q 0 -o "$seeds/ogg_serial_fuzz/vorbis.ogg" serial.wav
opusenc --quiet --bitrate 6 serial.wav "$seeds/ogg_serial_fuzz/opus.opus"

du -sh "$seeds"
