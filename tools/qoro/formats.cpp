#include "formats.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "args.h"
#include "commands.h"
#include "components.h"
#include "convert.h"

namespace qoro::cli {

namespace {

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Reads one text or number of entry 'index' through a Formats method.
template <class Object>
std::string textOf(Object* object, HRESULT (Object::*method)(LONG, BSTR*), LONG index) {
    Bstr text;
    if (FAILED((object->*method)(index, text.put()))) return {};
    return text.utf8();
}

std::vector<std::string> extensionsOf(IAudioFileFormats* list, LONG index, LONG purpose) {
    Bstr text;
    if (FAILED(list->Extensions(index, purpose, text.put()))) return {};
    return words(text.utf8());
}

template <class Value, class Object>
Value numberOf(Object* object, HRESULT (Object::*method)(LONG, Value*), LONG index) {
    Value value = 0;
    if (FAILED((object->*method)(index, &value))) return 0;
    return value;
}

std::vector<long> numbers(const std::string& text) {
    std::vector<long> out;
    for (const auto& word : words(text))
        if (auto n = parseLong(word)) out.push_back(*n);
    return out;
}

void readFileFormats(Formats& known) {
    ComPtr<IAudioFileFormats> list = createAudioFileFormats();
    if (!list) return;
    LONG count = 0;
    list->get_Count(&count);
    using I = IAudioFileFormats;
    for (LONG i = 0; i < count; ++i) {
        FileFormat f;
        f.type = numberOf<LONG>(list.get(), &I::FormatType, i);
        f.name = textOf(list.get(), &I::Name, i);
        f.title = textOf(list.get(), &I::Title, i);
        f.openExtensions = extensionsOf(list.get(), i, 0);
        f.createExtensions = extensionsOf(list.get(), i, 1);
        f.abilities = numberOf<LONG>(list.get(), &I::Abilities, i);
        f.rates = ValueSet::parse(textOf(list.get(), &I::WriterRates, i));
        f.maxChannels = numberOf<LONG>(list.get(), &I::WriterChannels, i);
        const std::string depths = textOf(list.get(), &I::WriterDepths, i);
        f.depths = numbers(depths);
        f.floats = std::ranges::count(words(depths), std::string("32f")) > 0;
        f.bitrates = ValueSet::parse(textOf(list.get(), &I::WriterBitrates, i));
        known.files.push_back(std::move(f));
    }
}

void readInfoFormats(Formats& known) {
    ComPtr<IAudioInformationFormats> list = createAudioInformationFormats();
    if (!list) return;
    LONG count = 0;
    list->get_Count(&count);
    using I = IAudioInformationFormats;
    for (LONG i = 0; i < count; ++i) {
        InfoFormat f;
        f.type = numberOf<SHORT>(list.get(), &I::InfoType, i);
        f.name = textOf(list.get(), &I::Name, i);
        f.title = textOf(list.get(), &I::Title, i);
        f.extensions = words(textOf(list.get(), &I::Extensions, i));
        f.abilities = numberOf<LONG>(list.get(), &I::Abilities, i);
        f.tagScheme = textOf(list.get(), &I::TagScheme, i);
        known.infos.push_back(std::move(f));
    }
}

Formats read() {
    Apartment apartment;  // on whichever thread asks first
    Formats known;
    readFileFormats(known);
    readInfoFormats(known);
    for (const FileFormat& f : known.files) {
        if (f.walked()) known.walked.insert(f.openExtensions.begin(), f.openExtensions.end());
        if (f.reads()) known.opened.insert(f.openExtensions.begin(), f.openExtensions.end());
    }
    // Kinds known by their signature only, and types neither read nor walked,
    // are sound qoro does not convert; an extension a reader claims is not.
    for (const FileFormat& f : known.files)
        if (f.type == 0 || (!f.reads() && !f.walked()))
            for (const auto& ext : f.openExtensions)
                if (!known.opened.count(ext)) known.unread.insert(ext);
    for (const InfoFormat& f : known.infos) known.informed.insert(f.extensions.begin(), f.extensions.end());
    return known;
}

}  // namespace

ValueSet ValueSet::parse(const std::string& text) {
    ValueSet set;
    const size_t dash = text.find('-');
    if (dash == std::string::npos) {
        set.list = numbers(text);
        std::sort(set.list.begin(), set.list.end());
        return set;
    }
    const auto low = parseLong(text.substr(0, dash)), high = parseLong(text.substr(dash + 1));
    if (low && high && *low <= *high) set.low = *low, set.high = *high;
    return set;
}

bool ValueSet::holds(long value) const {
    if (!list.empty()) return std::find(list.begin(), list.end(), value) != list.end();
    return high > 0 && value >= low && value <= high;
}

std::string ValueSet::text(const char* last) const {
    if (list.empty()) return std::to_string(low) + "-" + std::to_string(high);
    std::string out;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) out += i + 1 == list.size() ? last : ", ";
        out += std::to_string(list[i]);
    }
    return out;
}

const FileFormat* Formats::file(LONG type) const {
    if (type == 0) return nullptr;
    auto it = std::find_if(files.begin(), files.end(), [type](const FileFormat& f) { return f.type == type; });
    return it == files.end() ? nullptr : &*it;
}

const InfoFormat* Formats::info(SHORT type) const {
    if (type == 0) return nullptr;
    auto it = std::find_if(infos.begin(), infos.end(), [type](const InfoFormat& f) { return f.type == type; });
    return it == infos.end() ? nullptr : &*it;
}

std::vector<const FileFormat*> Formats::writers() const {
    std::vector<const FileFormat*> out;
    for (const FileFormat& f : files)
        if (f.type != 0 && f.writes()) out.push_back(&f);
    return out;
}

const FileFormat* Formats::writerNamed(std::string_view name) const {
    const std::string key = lowered(name);
    for (const FileFormat* f : writers())
        if (f->name == key) return f;
    return nullptr;
}

std::string Formats::writerNames(const char* separator) const {
    std::string out;
    for (const FileFormat* f : writers()) out += (out.empty() ? "" : separator) + f->name;
    return out;
}

const Formats& formats() {
    static const Formats known = read();
    return known;
}

int runFormats(const std::vector<std::string>& args) {
    const Formats& known = formats();
    if (args.size() != 1) {
        std::fputs("usage: qoro formats --targets | --extensions | --rates | --bitrates | --depths\n", stderr);
        return kExitUsage;
    }
    // Every listed value the writers take, once, in order.
    auto values = [&known](auto member) {
        std::set<long> all;
        for (const FileFormat* f : known.writers()) {
            const auto& listed = member(*f);
            all.insert(listed.begin(), listed.end());
        }
        return all;
    };
    std::vector<std::string> out;
    const std::string& what = args.front();
    if (what == "--targets") {
        for (const auto& target : targetTypes()) out.push_back(target.name);
    } else if (what == "--extensions") {
        out.assign(known.walked.begin(), known.walked.end());
    } else if (what == "--rates" || what == "--bitrates" || what == "--depths") {
        std::set<long> all = what == "--rates"      ? values([](const FileFormat& f) { return f.rates.list; })
                             : what == "--bitrates" ? values([](const FileFormat& f) { return f.bitrates.list; })
                                                    : values([](const FileFormat& f) { return f.depths; });
        for (long v : all) out.push_back(std::to_string(v));
        const auto writers = known.writers();
        if (what == "--depths" && std::ranges::any_of(writers, [](const FileFormat* f) { return f->floats; }))
            out.push_back("32f");
    } else {
        std::fprintf(stderr, "qoro formats: unknown option: %s\n", what.c_str());
        return kExitUsage;
    }
    if (known.files.empty()) {
        std::fputs("qoro formats: the audio file component cannot be created\n", stderr);
        return kExitFailed;
    }
    for (const auto& word : out) std::printf("%s\n", word.c_str());
    return kExitOk;
}

}  // namespace qoro::cli
