#include "options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "core/options_model.h"
#include "main_window.h"

namespace quillet::qt {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

class OptionsDialog : public QDialog {
public:
    OptionsDialog(QWidget* parent, MainController& app, Dialogs& dialogs)
        : QDialog(parent), app_(app), dialogs_(dialogs), form_(optionsFormFor(app.settings())) {
        setWindowTitle(QString::fromUtf8(text::kTitle));
        setWindowIcon(programIcon());
        QFont face;
        face.setFamilies(
            {QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue"), QStringLiteral("DejaVu Sans")});
        face.setPointSize(8);
        setFont(face);

        auto* group = new QGroupBox(QStringLiteral("Options"), this);
        auto* grid = new QGridLayout(group);

        auto check = [&](int id, const char* label, bool on) {
            auto* box = new QCheckBox(QString::fromUtf8(label), group);
            box->setObjectName(controlName(id));
            box->setChecked(on);
            return box;
        };
        cycle_ = check(1033, "Play files in a cycle.", form_.playInACycle);
        afterConvert_ = check(1034, "Play files when done converting.", form_.playAfterConvert);
        prompt_ = check(1035, "Prompt before overwriting existing files.", form_.promptBeforeOverwrite);
        openDir_ = check(1037, "Open the directory when done converting.", form_.openDirAfterConvert);
        grid->addWidget(cycle_, 0, 0, 1, 2);
        grid->addWidget(afterConvert_, 1, 0, 1, 2);
        grid->addWidget(prompt_, 2, 0, 1, 2);
        grid->addWidget(openDir_, 3, 0, 1, 2);

        auto* colourRow = new QHBoxLayout;
        colourRow->addWidget(new QLabel(QStringLiteral("Font Color"), group));
        swatch_ = new ColourSwatch(group);
        swatch_->setObjectName(controlName(1057));
        swatch_->setFixedSize(40, 20);
        swatch_->setValue(colourFromBgr(form_.fontColor));
        QObject::connect(swatch_, &QAbstractButton::clicked, this, [this] {
            if (pickFontColour(form_, dialogs_)) swatch_->setValue(colourFromBgr(form_.fontColor));
        });
        colourRow->addWidget(swatch_);
        colourRow->addStretch();
        grid->addLayout(colourRow, 4, 0, 1, 2);

        auto folder = [&](int row, int editId, int browseId, const char* caption, const std::string& value,
                          FolderKind kind) {
            grid->addWidget(new QLabel(QString::fromUtf8(caption), group), row, 0, 1, 2);
            auto* edit = new QLineEdit(qs(value), group);
            edit->setObjectName(controlName(editId));
            auto* browse = new QPushButton(QStringLiteral("Browse"), group);
            browse->setObjectName(controlName(browseId));
            browse->setAutoDefault(false);
            grid->addWidget(edit, row + 1, 0);
            grid->addWidget(browse, row + 1, 1);
            QObject::connect(browse, &QPushButton::clicked, this, [this, edit, kind] {
                std::string& slot = kind == FolderKind::Wave ? form_.waveDir : form_.mp3Dir;
                slot = edit->text().toStdString();
                if (browseFolder(form_, kind, dialogs_)) edit->setText(qs(slot));
            });
            return edit;
        };
        waveDir_ = folder(5, 1036, 1047, "Decode Directory (Save Wave Files)", form_.waveDir, FolderKind::Wave);
        mp3Dir_ = folder(7, 1038, 1049, "Encode Directory (Save Mp3 Files)", form_.mp3Dir, FolderKind::Mp3);

        auto* note = new QLabel(QString::fromUtf8(kOptionsText), group);
        note->setWordWrap(true);
        grid->addWidget(note, 9, 0, 1, 2);

        auto* quality = new QGridLayout;
        quality->addWidget(new QLabel(QStringLiteral("WAV to MP3"), group), 0, 1, Qt::AlignHCenter);
        quality->addWidget(new QLabel(QStringLiteral("MP3 to WAV"), group), 0, 2, Qt::AlignHCenter);
        quality->addWidget(new QLabel(QStringLiteral("Bitrate"), group), 1, 0);
        quality->addWidget(new QLabel(QStringLiteral("Frequency"), group), 2, 0);
        quality->addWidget(new QLabel(QStringLiteral("Channels"), group), 3, 0);
        auto list = [&](int id, std::span<const ListEntry> entries, const std::string& selected) {
            auto* combo = new QComboBox(group);
            combo->setObjectName(controlName(id));
            fill(combo, entries, selected);
            return combo;
        };
        bitRate1_ = list(1061, {}, {});  // filled for the rate below
        frequency1_ = list(1067, mp3FrequencyEntries(), form_.frequency1);
        fill(bitRate1_, mp3BitrateEntries(frequency1_->currentData().toInt()), form_.bitRate1);
        channels1_ = list(1068, channelEntries(), form_.channels1);
        bitRate2_ = list(1063, sampleWidthEntries(), form_.bitRate2);
        frequency2_ = list(1065, wavFrequencyEntries(), form_.frequency2);
        channels2_ = list(1069, channelEntries(), form_.channels2);
        // The bitrates follow the rate: another MPEG version takes others.
        QObject::connect(frequency1_, &QComboBox::currentIndexChanged, this, [this] { followRate(); });
        quality->addWidget(bitRate1_, 1, 1);
        quality->addWidget(frequency1_, 2, 1);
        quality->addWidget(channels1_, 3, 1);
        quality->addWidget(bitRate2_, 1, 2);
        quality->addWidget(frequency2_, 2, 2);
        quality->addWidget(channels2_, 3, 2);
        grid->addLayout(quality, 10, 0, 1, 2);

        auto* buttons = new QDialogButtonBox(this);
        auto* ok = buttons->addButton(QStringLiteral("&OK"), QDialogButtonBox::AcceptRole);
        auto* cancel = buttons->addButton(QStringLiteral("&Cancel"), QDialogButtonBox::RejectRole);
        ok->setObjectName(controlName(1));
        cancel->setObjectName(controlName(2));
        ok->setDefault(true);
        QObject::connect(buttons, &QDialogButtonBox::accepted, this, [this] { store(); });
        QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

        auto* layout = new QVBoxLayout(this);
        layout->addWidget(group);
        layout->addWidget(buttons);
        setFixedWidth(360);
    }

private:
    // Fills a list with its entries (the value as the item's data) and
    // selects the entry with the text 'selected', or the first.
    static void fill(QComboBox* combo, std::span<const ListEntry> entries, const std::string& selected) {
        const QSignalBlocker quiet(combo);
        combo->clear();
        for (const ListEntry& e : entries) combo->addItem(QString::fromUtf8(e.text), e.value);
        combo->setCurrentIndex(std::max(0, combo->findText(qs(selected), Qt::MatchFixedString)));
    }

    // A new MP3 rate: the bitrate list becomes the rate's, keeping the
    // offered bitrate nearest to the one chosen before.
    void followRate() {
        const int32_t hz = frequency1_->currentData().toInt();
        const int32_t kbps = nearestMp3Bitrate(hz, bitRate1_->currentData().toInt());
        const std::vector<ListEntry> entries = mp3BitrateEntries(hz);
        std::string keep;
        for (const ListEntry& e : entries)
            if (e.value == kbps) keep = e.text;
        fill(bitRate1_, entries, keep);
    }

    // OK: everything the controls hold goes through the settings rules.
    void store() {
        form_.playInACycle = cycle_->isChecked();
        form_.playAfterConvert = afterConvert_->isChecked();
        form_.promptBeforeOverwrite = prompt_->isChecked();
        form_.openDirAfterConvert = openDir_->isChecked();
        form_.fontColor = bgrFromColour(swatch_->value());
        form_.bitRate1 = bitRate1_->currentText().toStdString();
        form_.frequency1 = frequency1_->currentText().toStdString();
        form_.channels1 = channels1_->currentText().toStdString();
        form_.bitRate2 = bitRate2_->currentText().toStdString();
        form_.frequency2 = frequency2_->currentText().toStdString();
        form_.channels2 = channels2_->currentText().toStdString();
        form_.waveDir = waveDir_->text().toStdString();
        form_.mp3Dir = mp3Dir_->text().toStdString();
        applyOptions(form_, app_.settings(), app_.dataFolder(), dialogs_);
        app_.onSettingsChanged();
        accept();
    }

    MainController& app_;
    Dialogs& dialogs_;
    OptionsForm form_;
    QCheckBox *cycle_, *afterConvert_, *prompt_, *openDir_;
    ColourSwatch* swatch_;
    QLineEdit *waveDir_, *mp3Dir_;
    QComboBox *bitRate1_, *frequency1_, *channels1_, *bitRate2_, *frequency2_, *channels2_;
};

}  // namespace

std::unique_ptr<QDialog> makeOptionsDialog(QWidget* parent, MainController& app, Dialogs& dialogs) {
    return std::make_unique<OptionsDialog>(parent, app, dialogs);
}

}  // namespace quillet::qt
