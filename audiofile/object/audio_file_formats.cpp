// The SetFormat* members of AudioFile: the Status check and error handling
// around the output-format builders.
#include "object/audio_file_core.h"

#include "containers/containers.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {

bool AudioFileCore::formatCallAllowed() {
    if (isOpen()) {
        report(BUSY, "a file is open: the output format cannot change until it is closed");
        return false;
    }
    lastError_ = NOERRORS;
    return true;
}

long AudioFileCore::setFormatMP3(long frequency, long bitrate, long channels) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatMp3(fmt_, mp3_, mp3Encoder_, frequency, bitrate, channels);
}

long AudioFileCore::setFormatRAW(long typeCompress, long frequency, long channels, long bits) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatRaw(fmt_, output_, typeCompress, frequency, channels, bits);
}

long AudioFileCore::setFormatADPCM(long frequency, long channels) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatAdpcm(fmt_, frequency, channels);
}

long AudioFileCore::setFormatGSM(long frequency) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatGsm(fmt_, frequency);
}

long AudioFileCore::setFormatVOX(long frequency) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatVox(fmt_, output_, frequency);
}

long AudioFileCore::setFormatPCM(long frequency, long channels, long bits) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatPcm(fmt_, frequency, channels, bits);
}

long AudioFileCore::setFormatPCMKind(long frequency, long channels, long kind) {
    if (!formatCallAllowed()) return 0;
    static constexpr int kBits[] = {16, 24, 32, 32};
    const long blockAlign = kind >= SAMPLE_INT16 && kind <= SAMPLE_FLOAT32
                                ? audiofile::setFormatPcmKind(fmt_, frequency, channels, kBits[kind], kind == SAMPLE_FLOAT32)
                                : 0;
    if (blockAlign == 0)
        report(INVALIDPARAM, "WAV files take 1000 to 384000 Hz, 1 to 8 channels and 16-, 24-, 32-bit or float samples");
    return blockAlign;
}

long AudioFileCore::setFormatFromMenu() {
    if (!formatCallAllowed()) return 0;
    const MenuChoice choice = audiofile::setFormatFromMenu(fmt_);
    if (choice.error != NOERRORS) {
        lastError_ = choice.error;
        if (sink_) sink_->fireError(choice.fired, "no output format was chosen");
    }
    return choice.blockAlign;
}

long AudioFileCore::setFormatLikeSample(const std::string& name) {
    if (!formatCallAllowed()) return 0;
    const LikeSampleType kind = likeSampleKind(name);
    if (kind.error != NOERRORS) {
        report(kind.error, kind.error == FILEACCESS ? "the sample's name has no extension"
                                                    : "the sample is neither a WAV nor an MP3 file");
        return 0;
    }
    Engine sample;  // a separate engine: this object's own stays closed
    sample.setSettings(engineSettings());
    const int16_t st = sample.open(name, kind.type, READ);
    if (st < 0) {
        reportEngine(st, sample.cause());
        return 0;
    }
    SampleFormat format;
    format.full = recordBytes(sample.fullFormat());
    format.description = sample.description();
    const long blockAlign = adoptSampleFormat(fmt_, mp3_, kind.type, format);
    sample.close();
    return blockAlign;
}

long AudioFileCore::setFormatDSP() {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatDsp(fmt_);
}

long AudioFileCore::setFormatALAW(long frequency, long channels) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatAlaw(fmt_, frequency, channels);
}

long AudioFileCore::setFormatALF2CD(long bitrate) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatAlf2cd(fmt_, bitrate);
}

long AudioFileCore::setFormatG723(long frequency, long bitrate) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatG723(fmt_, output_, frequency, bitrate);
}

long AudioFileCore::setFormatULAW(long frequency, long channels) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatUlaw(fmt_, frequency, channels);
}

long AudioFileCore::setFormatG726(long frequency, long bitrate) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatG726(fmt_, output_, frequency, bitrate);
}

long AudioFileCore::setFormatMobileVoice(long frequency) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatMobileVoice(fmt_, frequency);
}

long AudioFileCore::setFormatOggVorbis(long frequency, long channels, long nominal, long minimum, long maximum,
                                       long quality) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatOggVorbis(fmt_, output_, frequency, channels, nominal, minimum, maximum, quality);
}

long AudioFileCore::setFormatG721(long frequency) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatG721(fmt_, output_, frequency);
}

// Without the WMA codec component (never present here) nothing happens: no
// Status check, the last error stays.
long AudioFileCore::setFormatWMA(long) { return 0; }

long AudioFileCore::setFormatMP2(long frequency, long bitrate, long channels) {
    if (!formatCallAllowed()) return 0;
    return audiofile::setFormatMp2(fmt_, output_, frequency, bitrate, channels);
}

long AudioFileCore::setFormatFLAC(long frequency, long channels, long level) {
    if (!formatCallAllowed()) return 0;
    const long blockAlign = audiofile::setFormatFlac(fmt_, output_, frequency, channels, level);
    if (blockAlign == 0) report(INVALIDPARAM, "FLAC takes 1000 to 384000 Hz, 1 or 2 channels and a level from 0 to 8");
    return blockAlign;
}

long AudioFileCore::setFormatFLACBits(long frequency, long channels, long bits, long level) {
    if (!formatCallAllowed()) return 0;
    const long blockAlign = audiofile::setFormatFlacBits(fmt_, output_, frequency, channels, bits, level);
    if (blockAlign == 0)
        report(INVALIDPARAM, "FLAC takes 1000 to 384000 Hz, 1 to 8 channels, 16 or 24 bits and a level from 0 to 8");
    return blockAlign;
}

long AudioFileCore::setFormatAAC(long frequency, long channels, long bitrate) {
    if (!formatCallAllowed()) return 0;
    const long blockAlign = audiofile::setFormatAac(fmt_, output_, frequency, channels, bitrate);
    if (blockAlign == 0)
        report(INVALIDPARAM,
               "AAC takes an MPEG-4 rate from 7350 to 96000 Hz, 1 to 6 or 8 channels and 8 to 512 kbit/s per channel");
    return blockAlign;
}

long AudioFileCore::setFormatALAC(long frequency, long channels, long bits) {
    if (!formatCallAllowed()) return 0;
    const long blockAlign = audiofile::setFormatAlac(fmt_, output_, frequency, channels, bits);
    if (blockAlign == 0) report(INVALIDPARAM, "ALAC takes 1000 to 384000 Hz, 1 to 8 channels and 16 or 24 bits");
    return blockAlign;
}

long AudioFileCore::setFormatOpus(long channels, long bitrate, long complexity) {
    if (!formatCallAllowed()) return 0;
    const long blockAlign = audiofile::setFormatOpus(fmt_, output_, channels, bitrate, complexity);
    if (blockAlign == 0)
        report(INVALIDPARAM, "Opus takes 1 or 2 channels, 6 to 510 kbit/s and a complexity from 0 to 10");
    return blockAlign;
}

long AudioFileCore::setFormatVorbis(long frequency, long channels, long nominal, long minimum, long maximum,
                                    long quality) {
    if (!formatCallAllowed()) return 0;
    const long blockAlign =
        audiofile::setFormatVorbis(fmt_, output_, frequency, channels, nominal, minimum, maximum, quality);
    if (blockAlign == 0) report(INVALIDPARAM, "Ogg Vorbis is written at 44100 or 48000 Hz in 1 to 8 channels");
    return blockAlign;
}

}  // namespace qoro::audiofile
