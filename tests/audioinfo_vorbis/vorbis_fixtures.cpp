#include "vorbis_fixtures.h"

#include "tags/fields.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qoro::test::vfix {

namespace {

// Prints the vendor, the comments, each picture's record (its data written
// to DIR/picN.bin) and, for FLAC, the block types.
const char* kDump = R"(
import sys, base64, mutagen
from mutagen.flac import FLAC, Picture
f = mutagen.File(sys.argv[1])
if f is None:
    sys.exit(3)
pics = []
print('V', f.tags.vendor if f.tags is not None else '')
for k, v in (list.__iter__(f.tags) if f.tags is not None else []):
    if k.upper() == 'METADATA_BLOCK_PICTURE':
        pics.append(Picture(base64.b64decode(v)))
    else:
        print('C', (k + '=' + v).replace('\n', '\\n'))
if isinstance(f, FLAC):
    pics = f.pictures
    print('B', ' '.join(str(b.code) for b in f.metadata_blocks))
for i, p in enumerate(pics):
    print('P', p.type, p.mime, p.desc, '%dx%dx%d' % (p.width, p.height, p.depth))
    open('%s/pic%d.bin' % (sys.argv[2], i), 'wb').write(p.data)
)";

const char* kTagOgg = R"(
import sys, base64, mutagen
from mutagen.flac import Picture
f = mutagen.File(sys.argv[1])
n = int(sys.argv[2])
args = sys.argv[3:]
for i in range(n):
    kind, mime, desc, path = args[4 * i:4 * i + 4]
    p = Picture()
    p.type = int(kind)
    p.mime = mime
    p.desc = desc
    p.data = open(path, 'rb').read()
    f.tags.append(('METADATA_BLOCK_PICTURE', base64.b64encode(p.write()).decode('ascii')))
for c in args[4 * n:]:
    k, v = c.split('=', 1)
    f.tags.append((k, v))
f.save()
)";

}  // namespace

fs::path makeWav(const TempDir& dir, const std::string& name, int rate, int channels, double seconds) {
    const fs::path wav = dir / name;
    writeWav16(wav, rate, channels, testSignal(rate, channels, static_cast<int>(rate * seconds)));
    return wav;
}

fs::path makePicture(const TempDir& dir, const std::string& name, int width, int height, bool detailed) {
    const fs::path out = dir / name;
    info::make("ffmpeg -nostdin -v error -y -f lavfi -i " + std::string(detailed ? "mandelbrot" : "testsrc") +
               "=size=" + std::to_string(width) + "x" + std::to_string(height) + " -frames:v 1 -q:v 1 " +
               shellQuote(out.string()));
    return out;
}

MutagenView mutagenView(const TempDir& dir, const fs::path& file) {
    MutagenView v;
    const fs::path picDir = dir / "mutagen-pictures";
    fs::remove_all(picDir);
    fs::create_directories(picDir);
    const CommandResult r = python(kDump, {file.string(), picDir.string()});
    v.output = r.output;
    v.ok = r.exitCode == 0;
    if (!v.ok) return v;
    for (const std::string& line : lines(r.output)) {
        if (line.size() < 2) continue;
        const std::string rest = line.substr(2);
        switch (line[0]) {
        case 'V': v.vendor = rest; break;
        case 'C': v.comments.push_back(rest); break;
        case 'B': {
            std::istringstream in(rest);
            for (int b; in >> b;) v.blocks.push_back(b);
            break;
        }
        case 'P': {
            std::istringstream in(rest);
            tags::TagPicture p;
            std::string dims;
            in >> p.kind >> p.mimeType;
            std::string word, desc;
            std::vector<std::string> words;
            while (in >> word) words.push_back(word);
            if (!words.empty()) {
                dims = words.back();
                words.pop_back();
            }
            for (size_t i = 0; i < words.size(); ++i) desc += (i ? " " : "") + words[i];
            p.description = desc;
            p.data = readBytes(picDir / ("pic" + std::to_string(v.pictures.size()) + ".bin"));
            v.pictures.push_back(std::move(p));
            v.dimensions += (v.dimensions.empty() ? "" : " ") + dims;
            break;
        }
        default: break;
        }
    }
    return v;
}

bool mutagenTagOgg(const fs::path& file, const std::vector<tags::TagPicture>& pictures,
                   const std::vector<std::string>& comments) {
    TempDir dir;
    std::vector<std::string> args = {file.string(), std::to_string(pictures.size())};
    for (size_t i = 0; i < pictures.size(); ++i) {
        const fs::path data = dir / ("p" + std::to_string(i));
        writeBytes(data, pictures[i].data);
        args.insert(args.end(), {std::to_string(pictures[i].kind), pictures[i].mimeType, pictures[i].description,
                                 data.string()});
    }
    args.insert(args.end(), comments.begin(), comments.end());
    const CommandResult r = python(kTagOgg, args);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.exitCode == 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string mapName(const std::string& name) {
    const tags::MappedField* m = tags::mappedField(name);
    return m && !m->property ? std::string(m->name) : name;
}

}  // namespace qoro::test::vfix
