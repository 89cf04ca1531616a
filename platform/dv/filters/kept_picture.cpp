#include "dv/filters/kept_picture.h"

#include <cstring>

namespace dv {

KeptPicture::KeptPicture(size_t bytesPerRow, size_t rows)
    : rowBytes(bytesPerRow), rowCount(rows), store(new uint8_t[bytesPerRow * rows]), rowInStore(rows) {}

void KeptPicture::Keep(const uint8_t* picture) {
    storedRows = 0;
    for (size_t row = 0; row < rowCount; ++row) {
        const uint8_t* line = picture + row * rowBytes;
        if (row > 0 && std::memcmp(line, line - rowBytes, rowBytes) == 0) {
            rowInStore[row] = rowInStore[row - 1];
            continue;
        }
        std::memcpy(store.get() + storedRows * rowBytes, line, rowBytes);
        rowInStore[row] = uint32_t(storedRows++);
    }
    kept = true;
}

bool KeptPicture::Matches(const uint8_t* picture) const {
    if (!kept) return false;
    for (size_t row = 0; row < rowCount; ++row) {
        if (std::memcmp(picture + row * rowBytes, store.get() + rowInStore[row] * rowBytes, rowBytes) != 0)
            return false;
    }
    return true;
}

}  // namespace dv
