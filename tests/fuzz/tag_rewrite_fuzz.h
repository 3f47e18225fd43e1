// What the tag-rewrite harnesses share: the changes an input asks for (a
// field set or removed, a front cover added or removed, chosen by its size)
// and the check that a read after the write shows exactly them.
#pragma once

#include <cstddef>

#include "fuzz_support.h"
#include "tags/tag_record.h"

namespace qoro::fuzz {

inline tags::TagChanges tagChangesFor(size_t inputSize) {
    tags::TagChanges changes;
    changes.fields = {{"FUZZ", inputSize % 3 ? "value" : ""}};
    if (inputSize % 2)
        changes.pictures = {{3, "image/png", "front", {0x89, 'P', 'N', 'G', 1, 2, 3}}};
    else
        changes.pictures = {{3, "", "", {}}};
    return changes;
}

// The field once with its value, or gone; the one front cover, or none.
inline void requireChangesRead(const tags::TagExtras& read, const tags::TagChanges& changes, size_t inputSize) {
    bool field = false;
    for (const auto& f : read.fields)
        if (f.name == "FUZZ") field = f.value == "value" && !field;
    require(field == (inputSize % 3 != 0));
    size_t fronts = 0;
    for (const auto& p : read.pictures)
        if (p.kind == 3) fronts += p == changes.pictures[0] ? 1 : 100;
    require(fronts == (inputSize % 2 ? 1u : 0u));
}

}  // namespace qoro::fuzz
