#include "core/help_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace quillet {

namespace {

constexpr std::string_view kPage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Quillet Help</title>
<style>
body { font-family: sans-serif; max-width: 46em; margin: 2em auto; padding: 0 1em; line-height: 1.45; color: #222; }
h1 { font-size: 1.6em; border-bottom: 2px solid #c33; padding-bottom: .2em; }
h2 { font-size: 1.15em; margin-top: 1.6em; color: #833; }
code, kbd { background: #f3f0ec; padding: 0 .25em; border-radius: 3px; }
table { border-collapse: collapse; }
td, th { border: 1px solid #ccc; padding: .25em .6em; text-align: left; vertical-align: top; }
</style>
</head>
<body>
<h1>Quillet</h1>
<p>Quillet converts MP3 files to WAV files and WAV files to MP3 files, many at a
time. Fill the grid with files, tick the ones to convert and press
<b>Convert</b>. Each result takes the name of its source with the new
extension and goes into the output folder of the mode.</p>

<h2 id="modes">The two modes</h2>
<table>
<tr><th>Mode</th><th>Reads</th><th>Writes</th><th>Output folder</th></tr>
<tr><td>MP3 to WAV</td><td>MP3 (and the other formats the audio component reads)</td>
<td>PCM WAV at the chosen sample rate, channels and sample width</td><td>WAV folder</td></tr>
<tr><td>WAV to MP3</td><td>WAV (and the other formats the audio component reads)</td>
<td>MP3 at the chosen bitrate, sample rate and channels</td><td>MP3 folder</td></tr>
</table>
<p>Each mode has its own grid. Switching mode saves the grid of the mode you
leave and loads the other.</p>

<h2 id="grid">The file grid</h2>
<ul>
<li><b>Open file</b> adds files to the grid; several may be chosen at once.</li>
<li>Click the first column of a row to tick it or untick it.
<b>Check files to Play or Convert</b> ticks every row. <b>Unselect files</b> opens a
menu that unticks every row, or removes the ticked rows, the unticked rows or
all rows from the grid.</li>
<li>Clicking a row shows its title, duration, bitrate and sample rate.</li>
<li><b>Play</b>, <b>Pause</b>, <b>Stop</b> and <b>Next</b> preview the ticked files
of the grid.</li>
</ul>

<h2 id="options">Options</h2>
<ul>
<li><b>Output quality</b>: the MP3 bitrate, sample rate and channels for WAV to MP3;
the sample rate, channels and sample width (8 or 16 bit) for MP3 to WAV.</li>
<li><b>Output folders</b>: one for WAV files, one for MP3 files. By default these are
<code>Wave Files/</code> and <code>Mp3 Files/</code> in the data folder.</li>
<li><b>Prompt before overwriting existing files.</b> Ask before replacing a file of
the same name; without it the file is replaced.</li>
<li><b>Open the directory when done converting.</b> and <b>Play files when done
converting.</b></li>
<li><b>Play files in a cycle.</b> After the last ticked row, playing starts again at the top.</li>
<li><b>Font Color</b>: the colour of the grid's text.</li>
</ul>
<p>Options are saved only when the Options dialog is closed with OK.</p>

<h2 id="lists">List files</h2>
<p>The grid of each mode is kept in a small text file in the data folder:
<code>mp3towav.log</code> and <code>wavtomp3.log</code>. The first line holds the
number of rows; each following line is one file, its first character a dot
for a ticked row and a space for an unticked one. Lines end in CR LF.</p>

<h2 id="data">The data folder</h2>
<p>Quillet keeps <code>OPTION.INI</code> (section <code>[Settings]</code>), the two list
files, the default output folders and this page in one folder: the folder of the
program when it may be written to and is not the folder the programs are
installed into, otherwise <code>~/.config/quillet/</code>
(or <code>$XDG_CONFIG_HOME/quillet/</code>). The environment variable
<code>QUILLET_HOME</code> names another folder.</p>

<h2 id="batch">Without windows</h2>
<p><kbd>quillet --batch mp3towav</kbd> or <kbd>quillet --batch wavtomp3</kbd> converts
the ticked rows of that mode's list file with the stored options and prints its
progress; with no mode both run. When <i>Prompt before overwriting</i> is on,
existing files are left alone. The exit status is 1 when a file could not be
converted. <kbd>--seed</kbd> first fills a fresh data folder with a few short
sample files.</p>
</body>
</html>
)html";

}  // namespace

std::string_view helpPage() { return kPage; }

bool ensureHelpFile(const DataFolder& data) {
    namespace fs = std::filesystem;
    const std::string path = data.helpFile();
    std::error_code ec;
    if (fs::exists(path, ec)) return true;
    // Written beside its final name and renamed, so no half page is ever left.
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(kPage.data(), static_cast<std::streamsize>(kPage.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            return false;
        }
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace quillet
