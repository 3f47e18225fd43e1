#include "replaygain.h"

#include <algorithm>
#include <cstdio>

#include "client/text.h"
#include "formats.h"
#include "tags.h"

namespace qoro::cli {

namespace loud = client::loudness;

namespace {

// The values of an album's tracks other than their own: the album pair and
// the reference (R128_ALBUM_GAIN for Opus).
std::vector<loud::TagValue> albumValues(const loud::Measured& track, const loud::Measured& album, bool opus) {
    std::vector<loud::TagValue> values = loud::tagValues(track, album, opus);
    std::erase_if(values, [](const loud::TagValue& v) { return v.name.find("TRACK") != std::string::npos; });
    return values;
}

bool isOpus(const Job& job) { return job.type.type == OPUS; }

// A track's own values, from its meter and, for a lossy target, the peak of
// its decoded output at `decoded`.
std::optional<loud::Measured> measure(TrackLoudness& t, const std::string& decoded, bool lossy,
                                      const loud::Options& options, std::string& cause) {
    if (t.metering) {
        t.meter = t.metering->finish();
        t.metering.reset();
    }
    if (!t.meter || !t.meter->ok()) {
        cause = "the loudness could not be measured";
        return std::nullopt;
    }
    loud::Measured m = loud::measured(*t.meter);
    if (lossy) {
        loud::Options peakOnly = options;
        peakOnly.loudness = false;
        const auto output = loud::measureFile(decoded, peakOnly, cause);
        if (!output) return std::nullopt;
        m.peak = output->peak();
    }
    return m;
}

std::string gainText(const loud::Measured& m) {
    if (m.silent()) return "silent";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f LUFS, gain %+.2f dB, peak %.6f", m.lufs, loud::replayGainDb(m), m.peak);
    return text;
}

}  // namespace

bool lossyTarget(LONG type) {
    const FileFormat* f = formats().file(type);
    return !f || f->depths.empty();
}

void meterBlock(TrackLoudness& t, const client::WrittenBlock& b, const loud::Options& options) {
    // Measured beside the encoder, on a thread of its own.
    if (!t.metering)
        t.metering = std::make_unique<loud::MeterThread>(b.frequency, static_cast<int>(b.channels), options);
    const size_t frames = static_cast<size_t>(b.frames);
    switch (b.kind) {
    case SAMPLE_FLOAT32: t.metering->addFloats(static_cast<const float*>(b.samples), frames); break;
    case SAMPLE_INT24: t.metering->addInt32(static_cast<const int32_t*>(b.samples), frames, 24); break;
    case SAMPLE_INT32: t.metering->addInt32(static_cast<const int32_t*>(b.samples), frames, 32); break;
    default: t.metering->addInt16(static_cast<const int16_t*>(b.samples), frames); break;
    }
}

bool tagTrack(TrackLoudness& t, const std::string& temporary, const Job& job, const loud::Options& options,
              std::string& cause) {
    const auto m = measure(t, temporary, lossyTarget(job.type.type), options, cause);
    if (!m) {
        cause = "loudness: " + cause;
        return false;
    }
    t.measured = *m;
    if (std::string why = loud::writeTags(temporary, loud::tagValues(*m, std::nullopt, isOpus(job))); !why.empty()) {
        cause = "loudness tags: " + why;
        return false;
    }
    t.done = true;
    return true;
}

AlbumBook::AlbumBook(const ConvertOptions& options, const std::vector<Job>& jobs) : options_(options) {
    meterOptions_.truePeak = options.truePeak;
    if (options.albumByTag) {
        Apartment apartment;
        ComPtr<IAudioInformation> info = createAudioInformation();
        for (const Job& job : jobs) {
            std::string key;
            if (info && readInformation(info.get(), job.source)) {
                const auto album = fieldValues(info.get(), "ALBUM");
                const auto artist = fieldValues(info.get(), "ALBUMARTIST");
                if (!album.empty())
                    key = (artist.empty() ? std::string() : artist.front()) + '\x1f' + album.front();
            }
            // A track without an album tag is an album of its own.
            keyOfSource_[job.target.string()] = key.empty() ? "\x1e" + job.target.string() : key;
        }
    }
    for (const Job& job : jobs) {
        const std::string key = keyOf(job);
        Track track;
        track.job = &job;
        albums_[key].tracks.push_back(std::move(track));
    }
    // Tracks up to date are not run: they are settled now.
    for (const Job& job : jobs)
        if (job.upToDate) finishTrack(job, Track::State::Kept, {});
}

std::string AlbumBook::keyOf(const Job& job) const {
    if (options_.albumByTag) {
        const auto found = keyOfSource_.find(job.target.string());
        if (found != keyOfSource_.end()) return found->second;
    }
    return job.source.parent_path().string();
}

void AlbumBook::done(const Job& job, bool published, TrackLoudness&& loud) {
    if (loud.metering) {
        loud.meter = loud.metering->finish();
        loud.metering.reset();
    }
    const bool measured = published && loud.meter && loud.meter->ok();
    if (measured) {
        loud.measured = loud::measured(*loud.meter);
        // A lossy output's peak is its decoded one, found while the next
        // track converts.
        if (lossyTarget(job.type.type)) {
            loud::Options peakOnly = meterOptions_;
            peakOnly.loudness = false;
            loud.decodedPeak = std::async(std::launch::async, [path = job.target.string(), peakOnly] {
                Apartment apartment;
                std::string cause;
                const auto meter = loud::measureFile(path, peakOnly, cause);
                return meter ? std::optional<double>(meter->peak()) : std::nullopt;
            });
        }
    }
    finishTrack(job, measured ? Track::State::Converted : Track::State::Failed, std::move(loud));
}

bool AlbumBook::tagTracks(Album& album, const std::optional<loud::Measured>& whole, std::string& cause) {
    for (Track& t : album.tracks) {
        if (t.state == Track::State::Kept && whole) {
            const auto values = albumValues(t.loud.measured, *whole, isOpus(*t.job));
            if (std::string why = loud::writeTags(t.job->target.string(), values); !why.empty()) {
                cause = client::printable(t.job->target.string()) + ": " + why;
                return false;
            }
        }
        if (t.state != Track::State::Converted) continue;
        const auto values = loud::tagValues(t.loud.measured, whole, isOpus(*t.job));
        if (std::string why = loud::writeTags(t.job->target.string(), values); !why.empty()) {
            cause = client::printable(t.job->target.string()) + ": " + why;
            return false;
        }
    }
    return true;
}

void AlbumBook::flush() {
    std::map<std::string, Album> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(albums_);
    }
    Apartment apartment;
    for (auto& [name, album] : left) {
        for (Track& t : album.tracks)
            if (t.state == Track::State::Converted && t.loud.decodedPeak.valid())
                t.loud.measured.peak = t.loud.decodedPeak.get().value_or(t.loud.measured.peak);
        std::string cause;
        if (!tagTracks(album, std::nullopt, cause))
            std::fprintf(stderr, "album   %s: %s\n", client::printable(name).c_str(), client::printable(cause).c_str());
    }
}

void AlbumBook::skipped(const Job& job) { finishTrack(job, Track::State::Kept, {}); }

void AlbumBook::finishTrack(const Job& job, Track::State state, TrackLoudness&& loud) {
    std::unique_lock lock(mutex_);
    const auto found = albums_.find(keyOf(job));
    if (found == albums_.end()) return;
    Album& album = found->second;
    for (Track& t : album.tracks) {
        if (t.job->target != job.target || t.state != Track::State::Pending) continue;
        t.state = state;
        t.loud = std::move(loud);
        if (++album.finished < album.tracks.size()) return;
        // The album's last track: tagged outside the lock, the album no
        // longer reachable by anyone else.
        Album whole = std::move(album);
        const std::string name = found->first;
        albums_.erase(found);
        lock.unlock();
        tagAlbum(name, whole);
        return;
    }
}

void AlbumBook::tagAlbum(const std::string& name, Album& album) {
    const bool anyConverted = std::any_of(album.tracks.begin(), album.tracks.end(),
                                          [](const Track& t) { return t.state == Track::State::Converted; });
    if (!anyConverted) return;  // nothing of it changed in this run
    const bool anyFailed = std::any_of(album.tracks.begin(), album.tracks.end(),
                                       [](const Track& t) { return t.state == Track::State::Failed; });
    const std::string shown = client::printable(options_.albumByTag ? album.tracks.front().job->source.parent_path().string()
                                                                     : name);
    auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "album   %s: no album values: %s\n", shown.c_str(), client::printable(why).c_str());
        std::lock_guard lock(mutex_);
        ++failed_;
    };
    // The decoded peaks of its lossy outputs.
    for (Track& t : album.tracks) {
        if (t.state != Track::State::Converted || !t.loud.decodedPeak.valid()) continue;
        const auto peak = t.loud.decodedPeak.get();
        if (!peak) {
            t.state = Track::State::Failed;
            continue;
        }
        t.loud.measured.peak = *peak;
    }
    if (anyFailed || std::any_of(album.tracks.begin(), album.tracks.end(),
                                 [](const Track& t) { return t.state == Track::State::Failed; })) {
        std::string cause;
        Apartment apartment;
        if (!tagTracks(album, std::nullopt, cause)) return refuse(cause);
        return refuse("a track of it failed");
    }

    // The tracks kept from before are measured from their outputs.
    Apartment apartment;
    for (Track& t : album.tracks) {
        if (t.state != Track::State::Kept) continue;
        std::string cause;
        auto meter = loud::measureFile(t.job->target.string(), meterOptions_, cause);
        if (!meter) return refuse(client::printable(t.job->target.string()) + ": " + cause);
        t.loud.measured = loud::measured(*meter);
        t.loud.meter = std::move(meter);
    }
    std::vector<const loud::Meter*> meters;
    double peak = 0;
    for (const Track& t : album.tracks) {
        meters.push_back(&*t.loud.meter);
        peak = std::max(peak, t.loud.measured.peak);
    }
    loud::Measured whole = loud::album(meters);
    whole.peak = peak;  // the tracks' own peaks: decoded ones for lossy targets
    if (std::string cause; !tagTracks(album, whole, cause)) return refuse(cause);
    const size_t n = album.tracks.size();
    std::fprintf(stdout, "album   %s (%zu track%s): %s\n", shown.c_str(), n, n == 1 ? "" : "s", gainText(whole).c_str());
    std::fflush(stdout);
    std::lock_guard lock(mutex_);
    ++tagged_;
}

}  // namespace qoro::cli
