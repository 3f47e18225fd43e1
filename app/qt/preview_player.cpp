#include "preview_player.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>

#include <algorithm>
#include <cstring>

namespace quillet::qt {

namespace {

constexpr int kTickMs = 20;

}  // namespace

PreviewPlayer::PreviewPlayer(Output output) : output_(output) {
    QObject::connect(&pumpTimer_, &QTimer::timeout, &context_, [this] { pump(); });
}

PreviewPlayer::~PreviewPlayer() { release(); }

void PreviewPlayer::open(const std::string& path) {
    release();
    path_ = path;
    state_ = start() ? Playing : Other;
}

void PreviewPlayer::play() {
    if (state_ == Paused) {
        if (sink_)
            sink_->resume();
        else
            clock_.restart();
        pumpTimer_.start(kTickMs);
        state_ = Playing;
    } else if (state_ == Other && !path_.empty()) {
        open(path_);
    }
}

void PreviewPlayer::pause() {
    if (state_ != Playing) return;
    if (sink_) {
        sink_->suspend();
    } else {
        heardBeforeMs_ += clock_.elapsed();
    }
    pumpTimer_.stop();
    state_ = Paused;
}

void PreviewPlayer::stop() {
    release();
    state_ = Other;
}

double PreviewPlayer::position() {
    if (state_ == Other) return 0.0;
    double seconds = 0.0;
    if (sink_) {
        seconds = double(sink_->processedUSecs()) / 1e6;
    } else {
        seconds = double(heardBeforeMs_ + (state_ == Playing ? clock_.elapsed() : 0)) / 1000.0;
        // Not beyond what the file holds, once its end is known.
        if (endOfData_) seconds = std::min(seconds, decodedSeconds());
    }
    return std::max(0.0, seconds);
}

double PreviewPlayer::decodedSeconds() const { return rate_ > 0 ? double(framesDecoded_) / rate_ : 0.0; }

bool PreviewPlayer::start() {
    if (!file_) {
        CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, file_.putVoid());
        if (!file_) return false;
    }
    qoro::com::Bstr name(path_);
    file_->OpenFile(name.get(), DEFAULT, READ);
    LONG error = NOERRORS;
    file_->get_LastErrorNum(&error);
    if (error < 0) return false;
    fileOpen_ = true;

    LONG rate = 0, channels = 0;
    file_->get_ArrayFrequency(&rate);
    file_->get_ArrayChannels(&channels);
    if (rate <= 0 || channels <= 0) {
        release();
        return false;
    }

    QAudioDevice device;
    if (output_ == Output::Automatic) device = QMediaDevices::defaultAudioOutput();
    if (!device.isNull()) {
        QAudioFormat format;
        format.setSampleFormat(QAudioFormat::Int16);
        format.setSampleRate(int(rate));
        format.setChannelCount(int(std::min<LONG>(channels, 2)));
        if (!device.isFormatSupported(format)) {
            const QAudioFormat preferred = device.preferredFormat();
            format.setSampleRate(preferred.sampleRate() > 0 ? preferred.sampleRate() : 44100);
            format.setChannelCount(2);
        }
        if (format.sampleRate() != rate || format.channelCount() != channels) {
            // The component converts rate and channels on the way.
            file_->SetFormatArray(format.sampleRate(), format.channelCount());
            file_->get_ArrayFrequency(&rate);
            file_->get_ArrayChannels(&channels);
        }
        if (rate == format.sampleRate() && channels == format.channelCount()) {
            sink_ = std::make_unique<QAudioSink>(device, format);
            sink_->setBufferSize(int(rate * channels * 2 / 4));  // a quarter of a second
            sinkDevice_ = sink_->start();
            if (!sinkDevice_ || sink_->error() != QAudio::NoError) {
                sink_.reset();
                sinkDevice_ = nullptr;
            }
        }
    }
    rate_ = int(rate);
    channels_ = int(channels);
    endOfData_ = false;
    framesDecoded_ = 0;
    bytesWritten_ = 0;
    pending_.clear();
    heardBeforeMs_ = 0;
    clock_.start();
    pumpTimer_.start(kTickMs);
    return true;
}

void PreviewPlayer::release() {
    pumpTimer_.stop();
    if (sink_) {
        sink_->stop();
        sink_.reset();
    }
    sinkDevice_ = nullptr;
    pending_.clear();
    if (fileOpen_ && file_) file_->CloseFile();
    fileOpen_ = false;
}

bool PreviewPlayer::decodeBlock() {
    if (!fileOpen_ || endOfData_) return false;
    SAFEARRAY* block = nullptr;
    file_->ReadFile(std::max(1, rate_ / 10), &block);
    LONG error = NOERRORS;
    file_->get_LastErrorNum(&error);
    LONG upper = -1;
    if (block) SafeArrayGetUBound(block, 1, &upper);
    const int64_t elements = int64_t(upper) + 1;
    if (error < 0 || !block || elements < 1) {
        if (block) SafeArrayDestroy(block);
        endOfData_ = true;
        return false;
    }
    framesDecoded_ += elements / channels_;
    if (sink_) {
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(block, &data))) {
            pending_.append(static_cast<const char*>(data), qsizetype(elements * 2));
            SafeArrayUnaccessData(block);
        }
    }
    SafeArrayDestroy(block);
    return true;
}

void PreviewPlayer::pump() {
    if (state_ != Playing) return;
    if (sink_) {
        qsizetype room = sink_->bytesFree();
        while (room > 0) {
            if (pending_.isEmpty() && !decodeBlock()) break;
            const qint64 n = sinkDevice_->write(pending_.constData(), std::min(room, pending_.size()));
            if (n <= 0) break;
            pending_.remove(0, qsizetype(n));
            bytesWritten_ += n;
            room -= qsizetype(n);
        }
        const int64_t writtenUs = bytesWritten_ * 1000000 / (int64_t(rate_) * channels_ * 2);
        if (endOfData_ && pending_.isEmpty() &&
            (sink_->state() == QAudio::IdleState || sink_->processedUSecs() >= writtenUs))
            finish();
        return;
    }
    // Silent output: decode as far as the clock has come, then a little ahead
    // so the end is known when the clock gets there.
    const double heard = position();
    while (!endOfData_ && decodedSeconds() < heard + 0.2) decodeBlock();
    if (endOfData_ && heard >= decodedSeconds()) finish();
}

void PreviewPlayer::finish() {
    release();
    state_ = Other;
    // Reported from the event loop: the handler usually opens the next file.
    QTimer::singleShot(0, &context_, [this] {
        if (onEnd_) onEnd_();
    });
}

}  // namespace quillet::qt
