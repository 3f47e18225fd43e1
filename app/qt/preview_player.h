// The preview player behind the Play, Pause, Stop, step and Next buttons; it
// stands for the media player control.
//
// It decodes through an AudioFile object of its own (so it plays every format
// the component reads) and hands 16-bit blocks to a QAudioSink. Without an
// audio output device (a headless session, CI) a silent sink takes its place:
// a clock that consumes the decoded audio in real time, so positions advance
// and files end as they would when heard. Everything runs on the thread that
// created the player; the end of a file is reported there too, from the event
// loop, never from inside a call on the player.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

#include "core/ports.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"

class QAudioSink;
class QIODevice;

namespace quillet::qt {

class PreviewPlayer : public quillet::MediaPlayer {
public:
    enum class Output { Automatic, Silent };

    explicit PreviewPlayer(Output output = Output::Automatic);
    ~PreviewPlayer() override;
    PreviewPlayer(const PreviewPlayer&) = delete;
    PreviewPlayer& operator=(const PreviewPlayer&) = delete;

    // Called on this thread when a file has played to its end.
    void setEndOfFileHandler(std::function<void()> handler) { onEnd_ = std::move(handler); }

    // Opens the file and starts it from the beginning.
    void open(const std::string& path) override;
    // Resumes after a pause; after a stop starts the last file again.
    void play() override;
    void pause() override;
    void stop() override;
    int playState() override { return state_; }
    double position() override;

    // True while a real audio device receives the sound.
    bool audible() const { return sink_ != nullptr; }

private:
    bool start();        // opens path_ and the output; false when it cannot play
    void release();      // closes the output and the file
    void pump();         // decodes and feeds on every tick
    bool decodeBlock();  // appends one tenth of a second to pending_; false at the end
    void finish();       // the file has been heard to its end
    double decodedSeconds() const;

    Output output_;
    std::function<void()> onEnd_;
    QObject context_;  // owns queued notifications, so none outlives the player
    QTimer pumpTimer_;

    qoro::com::ComPtr<IAudioFile> file_;
    bool fileOpen_ = false;
    std::string path_;
    int rate_ = 0, channels_ = 0;
    bool endOfData_ = false;
    int64_t framesDecoded_ = 0;

    std::unique_ptr<QAudioSink> sink_;
    QIODevice* sinkDevice_ = nullptr;
    QByteArray pending_;  // decoded bytes the sink has not taken yet
    int64_t bytesWritten_ = 0;

    // Silent output: the clock of what has been "heard".
    QElapsedTimer clock_;
    int64_t heardBeforeMs_ = 0;

    int state_ = Other;
};

}  // namespace quillet::qt
