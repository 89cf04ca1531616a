// Rows [first, end) of a picture, top first: where a picture may differ from the one before it,
// as the one who made it knows. Empty (first == end) when it is the same picture.
#pragma once

#include <algorithm>

namespace dv {

struct RowSpan {
    int first = 0;
    int end = 0;

    bool Empty() const { return first >= end; }
    // The smallest span holding both.
    RowSpan Hull(const RowSpan& other) const {
        if (Empty()) return other;
        if (other.Empty()) return *this;
        return {std::min(first, other.first), std::max(end, other.end)};
    }
    bool operator==(const RowSpan&) const = default;
};

}  // namespace dv
