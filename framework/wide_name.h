// The wide names filters and pins keep and hand out.
#pragma once

#include <windows.h>

// A new[] copy of a terminated wide name; null for a null name or when it cannot be allocated.
WCHAR* DuplicateWideName(const WCHAR* source);

// Copies a wide name into a fixed field of `capacity` characters, cut to capacity - 1 and
// terminated; an absent name gives an empty field.
void CopyNameField(WCHAR* field, int capacity, const WCHAR* source);
