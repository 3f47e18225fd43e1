// ReplayGain in qoro convert (--replaygain track|album): the loudness of
// the samples going into each encoder, measured in the conversion loop, the
// track's tags written into the target before it is published; an album's
// values once every track of it is done, written into each output in place.
//
//   TrackLoudness loud;
//   convertJob(job, options, progress, cancel, &loud);   // meters, then tags the track
//   book.done(job, result.published(), std::move(loud)); // the album's last track tags the album
//
// Lossy targets are measured twice over: the loudness on what the encoder
// was given, the peak on the output as players decode it.
#pragma once

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/conversion.h"
#include "client/loudness.h"
#include "convert.h"

namespace qoro::cli {

struct TrackLoudness {
    std::unique_ptr<client::loudness::MeterThread> metering;  // measuring while the conversion goes on
    std::optional<client::loudness::Meter> meter;  // of the samples the encoder took
    client::loudness::Measured measured;           // the track's values, as tagged
    bool done = false;                             // measured and tagged (--replaygain track)
    // --replaygain album: a lossy output's peak, decoded beside the next
    // conversion (nullopt, and the cause, when it could not be).
    std::future<std::optional<double>> decodedPeak;
    std::string peakCause;
};

// Whether the encoder of a target type loses (its peak is the decoded output's).
bool lossyTarget(LONG type);

// Adds a block the target took to the track's meter (made at the first block).
void meterBlock(TrackLoudness& loud, const client::WrittenBlock& block, const client::loudness::Options& options);

// --replaygain track: the track's values, measured and written into the
// finished temporary: false with the cause in words. (Albums write each
// track's values once, with the album's.)
bool tagTrack(TrackLoudness& loud, const std::string& temporary, const Job& job,
              const client::loudness::Options& options, std::string& cause);

// The albums of a run: each track's meter kept until its album is complete,
// then the album's loudness (all its tracks together) and peak written into
// every output. Tracks not converted in this run (up to date, skipped) are
// measured from their outputs when some other track of their album was
// converted. An album with a failed or unfinished track gets no values.
// Thread-safe.
class AlbumBook {
public:
    // `jobs`: every job of the plan, those up to date included.
    AlbumBook(const ConvertOptions& options, const std::vector<Job>& jobs);

    void done(const Job& job, bool published, TrackLoudness&& loud);
    void skipped(const Job& job);
    // After the last job: the tracks of albums left incomplete (a run
    // interrupted) get their own values.
    void flush();
    size_t albumsTagged() const { return tagged_; }
    size_t albumsFailed() const { return failed_; }

private:
    struct Track {
        const Job* job = nullptr;
        TrackLoudness loud;
        enum class State { Pending, Converted, Kept, Failed } state = State::Pending;
    };
    struct Album {
        std::vector<Track> tracks;
        size_t finished = 0;
    };
    std::string keyOf(const Job& job) const;
    void finishTrack(const Job& job, Track::State state, TrackLoudness&& loud);
    void tagAlbum(const std::string& name, Album& album);
    // The track's own values where it was converted; its album's too.
    bool tagTracks(Album& album, const std::optional<client::loudness::Measured>& whole, std::string& cause);

    const ConvertOptions& options_;
    client::loudness::Options meterOptions_;
    std::map<std::string, Album> albums_;
    std::map<const Job*, std::string> albumOf_;
    std::map<std::string, std::string> keyOfSource_;  // --album-by tag: the source's album key
    std::mutex mutex_;
    size_t tagged_ = 0, failed_ = 0;
};

}  // namespace qoro::cli
