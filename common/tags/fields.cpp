#include "tags/fields.h"

#include "genre/genre.h"
#include "tags/text.h"

namespace qoro::tags {

std::string fieldText(const TagRecord& r, Field f) {
    const FieldInfo& info = fieldInfo(f);
    switch (info.kind) {
    case FieldKind::Text: return r.*info.text;
    case FieldKind::Number: return r.*info.number > 0 ? std::to_string(r.*info.number) : std::string();
    case FieldKind::Genre: return std::string(genre::toString(r.genre));
    }
    return {};
}

std::optional<std::string> writtenText(const TagRecord& r, Field f) {
    if (fieldInfo(f).kind == FieldKind::Genre && !genre::isValid(r.genre)) return std::nullopt;
    std::string t = fieldText(r, f);
    if (t.empty()) return std::nullopt;
    return t;
}

void setFieldText(TagRecord& r, Field f, std::string_view value) {
    const FieldInfo& info = fieldInfo(f);
    switch (info.kind) {
    case FieldKind::Text: r.*info.text = std::string(value); break;
    case FieldKind::Number: r.*info.number = text::leadingNumber(value); break;
    case FieldKind::Genre: {
        const int g = value.empty() ? -1 : genre::findIgnoringCase(value);
        r.genre = g >= 0 ? g : genre::kDefault;
        break;
    }
    }
}

void clearField(TagRecord& r, Field f) { copyField(r, TagRecord{}, f); }

bool sameField(const TagRecord& a, const TagRecord& b, Field f) {
    const FieldInfo& info = fieldInfo(f);
    return info.kind == FieldKind::Text ? a.*info.text == b.*info.text : a.*info.number == b.*info.number;
}

void copyField(TagRecord& to, const TagRecord& from, Field f) {
    const FieldInfo& info = fieldInfo(f);
    if (info.kind == FieldKind::Text)
        to.*info.text = from.*info.text;
    else
        to.*info.number = from.*info.number;
}

}  // namespace qoro::tags
