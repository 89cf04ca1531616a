#include "wide_name.h"

#include <new>

WCHAR* DuplicateWideName(const WCHAR* source) {
    if (source == nullptr) {
        return nullptr;
    }
    size_t length = 0;
    while (source[length] != u'\0') {
        ++length;
    }
    WCHAR* copy = new (std::nothrow) WCHAR[length + 1];
    if (copy != nullptr) {
        for (size_t index = 0; index <= length; ++index) {
            copy[index] = source[index];
        }
    }
    return copy;
}

void CopyNameField(WCHAR* field, int capacity, const WCHAR* source) {
    int length = 0;
    if (source != nullptr) {
        while (length < capacity - 1 && source[length] != u'\0') {
            field[length] = source[length];
            ++length;
        }
    }
    field[length] = u'\0';
}
