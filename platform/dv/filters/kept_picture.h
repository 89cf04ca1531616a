// The picture behind the encoder's last frame, kept to tell whether the next picture is
// byte-identical to it. Consecutive identical rows are kept once: a still test picture is a few
// distinct rows, so comparing a new picture against it reads the new picture and a few rows that
// stay in the cache, instead of a second megabyte that is cold by the time the next frame comes.
// A picture without repeated rows is kept whole.
//
// Threads: not thread-safe; owned and used by one VideoEncoderCodec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dv {

class KeptPicture {
public:
    // Pictures of `rows` rows of `rowBytes` bytes. Allocates room for a whole picture, which is
    // only touched as far as rows are kept.
    KeptPicture(size_t rowBytes, size_t rows);

    // Keeps a copy of the picture (rows x rowBytes bytes).
    void Keep(const uint8_t* picture);
    // Whether a picture is kept and `picture` is byte-identical to it.
    bool Matches(const uint8_t* picture) const;
    void Forget() { kept = false; }

    // Rows actually stored for the kept picture.
    size_t StoredRows() const { return storedRows; }

private:
    const size_t rowBytes;
    const size_t rowCount;
    std::unique_ptr<uint8_t[]> store;  // storedRows distinct rows, rowBytes each
    std::vector<uint32_t> rowInStore;  // for each picture row, its row in `store`
    size_t storedRows = 0;
    bool kept = false;
};

}  // namespace dv
