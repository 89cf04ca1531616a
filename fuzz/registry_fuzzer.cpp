// Fuzzes the registry store through the Reg*A functions: key paths, value names, value types and
// data all come from the input, as do the buffer sizes handed to the query and enumeration calls.
// The store lives in a temporary state directory made for the run; each input works below a key
// of its own, which it removes again, so the database stays small however long the run.
//
// Checks besides memory safety (every caller buffer is a heap block of exactly the size passed):
//   - a value that was set reads back with the same type and bytes (text gains a terminator
//     when the writer left it out), also under a name that
//     differs only in ASCII case, and a short buffer gets ERROR_MORE_DATA with the size needed;
//   - a key created with a one-part name is listed by its parent's enumeration, with the name's
//     length reported right and the name terminated;
//   - a key without subkeys that was deleted can no longer be opened;
//   - tearing the input's tree down leaves nothing behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <windows.h>

#include <platform/platform.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

constexpr size_t kLargestValue = 1 << 16;
std::string stateDirectory;
unsigned inputNumber = 0;

void RemoveStateDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(stateDirectory, ignored);
}

// A name from the input: any bytes but NUL; sometimes with path separators.
std::string ConsumeName(FuzzedDataProvider& input, size_t longest) {
    std::string name = input.ConsumeRandomLengthString(longest);
    const size_t nul = name.find('\0');
    if (nul != std::string::npos) name.resize(nul);
    return name;
}

// A name that is one key of its own: non-empty, no separator.
std::string ConsumeKeyName(FuzzedDataProvider& input) {
    std::string name = ConsumeName(input, 40);
    for (char& c : name) {
        if (c == '\\') c = '_';
    }
    if (name.empty()) name = "k";
    return name;
}

std::string SwapAsciiCase(std::string name) {
    for (char& c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isupper(u)) c = static_cast<char>(std::tolower(u));
        else if (std::islower(u)) c = static_cast<char>(std::toupper(u));
    }
    return name;
}

bool SameAsciiCaseless(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Reads a value into a buffer of exactly `capacity` bytes (none at all when capacity is 0, so
// that only the size is asked).
LONG Query(HKEY key, const std::string& name, size_t capacity, DWORD* type,
           std::vector<BYTE>* data) {
    std::unique_ptr<BYTE[]> buffer(capacity ? new BYTE[capacity] : nullptr);
    DWORD size = static_cast<DWORD>(capacity);
    const LONG status = RegQueryValueExA(key, name.c_str(), nullptr, type, buffer.get(), &size);
    if (status == ERROR_SUCCESS && buffer) {
        FUZZ_CHECK(size <= capacity);
        data->assign(buffer.get(), buffer.get() + size);
    } else {
        data->assign(size, 0);  // only the size is known
    }
    return status;
}

void CheckValueReadsBack(HKEY key, const std::string& name, DWORD type,
                         const std::vector<BYTE>& value) {
    for (const std::string& asked : {name, SwapAsciiCase(name)}) {
        DWORD gotType = 0xFFFFFFFF;
        std::vector<BYTE> got;
        FUZZ_CHECK(Query(key, asked, value.size() + 1, &gotType, &got) == ERROR_SUCCESS);
        FUZZ_CHECK(gotType == type);
        FUZZ_CHECK(got == value);
        // Size only.
        FUZZ_CHECK(Query(key, asked, 0, nullptr, &got) == ERROR_SUCCESS);
        FUZZ_CHECK(got.size() == value.size());
        if (value.size() >= 2) {
            // One byte short (a buffer of 0 bytes would be no buffer: a size query).
            FUZZ_CHECK(Query(key, asked, value.size() - 1, nullptr, &got) == ERROR_MORE_DATA);
            FUZZ_CHECK(got.size() == value.size());
        }
    }
}

// Lists the subkeys of `key` with name buffers of exactly `capacity` characters, growing a
// buffer that was too small as the platform tells. Returns the names. A key that may have been
// deleted (`mayBeGone`) may refuse the first call.
std::vector<std::string> ListSubkeys(HKEY key, DWORD capacity, bool mayBeGone = false) {
    std::vector<std::string> names;
    for (DWORD index = 0; index < 10000; ++index) {
        DWORD chars = capacity;
        std::unique_ptr<char[]> buffer(new char[chars == 0 ? 1 : chars]);
        LONG status = RegEnumKeyExA(key, index, buffer.get(), &chars, nullptr, nullptr, nullptr,
                                    nullptr);
        if (status == ERROR_MORE_DATA) {
            FUZZ_CHECK(chars > capacity);  // the size needed, terminator included
            const DWORD needed = chars;
            buffer.reset(new char[needed]);
            status = RegEnumKeyExA(key, index, buffer.get(), &chars, nullptr, nullptr, nullptr,
                                   nullptr);
            FUZZ_CHECK(status == ERROR_SUCCESS);
            FUZZ_CHECK(chars + 1 == needed);
        }
        if (status == ERROR_NO_MORE_ITEMS) return names;
        if (status != ERROR_SUCCESS && mayBeGone && index == 0) return names;
        FUZZ_CHECK(status == ERROR_SUCCESS);
        FUZZ_CHECK(buffer[chars] == '\0' && std::strlen(buffer.get()) == chars);
        names.emplace_back(buffer.get(), chars);
    }
    FUZZ_CHECK(!"enumeration never ended");
    return names;
}

// Deletes `key`'s subtree below it, depth first, through the public calls only.
void DeleteSubtree(HKEY key) {
    for (const std::string& name : ListSubkeys(key, 256)) {
        HKEY child = nullptr;
        FUZZ_CHECK(RegOpenKeyExA(key, name.c_str(), 0, KEY_ALL_ACCESS, &child) == ERROR_SUCCESS);
        DeleteSubtree(child);
        RegCloseKey(child);
        FUZZ_CHECK(RegDeleteKeyA(key, name.c_str()) == ERROR_SUCCESS);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // On a memory file system when there is one: every write is a committed transaction, and
    // syncing each to a disk would make the store, not the code, the limit of a run.
    char memoryPattern[] = "/dev/shm/tamsel-registry-fuzz-XXXXXX";
    char diskPattern[] = "/tmp/tamsel-registry-fuzz-XXXXXX";
    char* pattern = mkdtemp(memoryPattern);
    if (pattern == nullptr) pattern = mkdtemp(diskPattern);
    FUZZ_CHECK(pattern != nullptr);
    stateDirectory = pattern;
    setenv(PLATFORM_STATE_DIR_ENV, pattern, 1);
    std::atexit(RemoveStateDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);

    const std::string rootName = "FuzzRoot\\" + std::to_string(++inputNumber);
    HKEY root = nullptr;
    FUZZ_CHECK(RegCreateKeyA(HKEY_CLASSES_ROOT, rootName.c_str(), &root) == ERROR_SUCCESS);

    // Handles the operations pick from; the first is the input's own root.
    std::vector<HKEY> keys = {root};

    while (input.remaining_bytes() > 0 && keys.size() < 64) {
        HKEY key = keys[input.ConsumeIntegralInRange<size_t>(0, keys.size() - 1)];
        switch (input.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: {  // create a one-part key and find it in the parent's list
                const std::string name = ConsumeKeyName(input);
                HKEY child = nullptr;
                const LONG status = RegCreateKeyA(key, name.c_str(), &child);
                if (status != ERROR_SUCCESS) break;  // e.g. a key deleted meanwhile
                keys.push_back(child);
                bool listed = false;
                for (const std::string& listedName :
                     ListSubkeys(key, input.ConsumeIntegralInRange<DWORD>(0, 64))) {
                    listed = listed || SameAsciiCaseless(listedName, name);
                }
                FUZZ_CHECK(listed);
                break;
            }
            case 1: {  // create or open a path of several parts, empty parts and all
                const std::string path = ConsumeName(input, 80);
                HKEY child = nullptr;
                if (RegCreateKeyA(key, path.c_str(), &child) == ERROR_SUCCESS) {
                    keys.push_back(child);
                }
                break;
            }
            case 2: {  // set a value, then read it back
                const std::string name = ConsumeName(input, 40);
                const DWORD type = input.ConsumeBool() ? REG_SZ : input.ConsumeIntegral<DWORD>();
                const size_t length = input.ConsumeIntegralInRange<size_t>(0, kLargestValue);
                std::vector<BYTE> value = input.ConsumeBytes<BYTE>(length);
                // The value's bytes in a block of exactly their size.
                std::unique_ptr<BYTE[]> block(new BYTE[value.size() + 1]);
                if (!value.empty()) std::memcpy(block.get(), value.data(), value.size());
                const LONG status = RegSetValueExA(key, name.c_str(), 0, type, block.get(),
                                                   static_cast<DWORD>(value.size()));
                // Text is stored terminated, whether or not the writer counted the terminator.
                if ((type == REG_SZ || type == REG_EXPAND_SZ) &&
                    (value.empty() || value.back() != 0))
                    value.push_back(0);
                if (status == ERROR_SUCCESS) CheckValueReadsBack(key, name, type, value);
                break;
            }
            case 3: {  // query a name that may or may not be there, any buffer size
                DWORD type = 0;
                std::vector<BYTE> got;
                Query(key, ConsumeName(input, 40),
                      input.ConsumeIntegralInRange<size_t>(0, 4096), &type, &got);
                break;
            }
            case 4: {  // enumerate with any name buffer size
                ListSubkeys(key, input.ConsumeIntegralInRange<DWORD>(0, 300), true);
                break;
            }
            case 5: {  // delete a subkey; once gone it cannot be opened
                const std::string path = ConsumeName(input, 80);
                if (RegDeleteKeyA(key, path.c_str()) == ERROR_SUCCESS) {
                    HKEY gone = nullptr;
                    FUZZ_CHECK(RegOpenKeyExA(key, path.c_str(), 0, KEY_READ, &gone) !=
                               ERROR_SUCCESS);
                }
                break;
            }
            case 6: {  // delete a value
                RegDeleteValueA(key, ConsumeName(input, 40).c_str());
                break;
            }
            case 7: {  // enumerate values with any buffer sizes
                for (DWORD index = 0; index < 1000; ++index) {
                    DWORD nameChars = input.ConsumeIntegralInRange<DWORD>(1, 64);
                    DWORD dataBytes = input.ConsumeIntegralInRange<DWORD>(0, 256);
                    std::unique_ptr<char[]> nameBuffer(new char[nameChars]);
                    std::unique_ptr<BYTE[]> dataBuffer(new BYTE[dataBytes == 0 ? 1 : dataBytes]);
                    DWORD type = 0;
                    const LONG status = RegEnumValueA(key, index, nameBuffer.get(), &nameChars,
                                                      nullptr, &type, dataBuffer.get(),
                                                      &dataBytes);
                    if (status == ERROR_NO_MORE_ITEMS) break;
                    if (status == ERROR_SUCCESS) {
                        FUZZ_CHECK(nameBuffer[nameChars] == '\0');
                    }
                }
                break;
            }
        }
    }

    for (size_t i = 1; i < keys.size(); ++i) RegCloseKey(keys[i]);
    // Tear down whatever the input made; afterwards the root can be deleted and is gone. (An
    // empty path deletes the key the handle names, so the input may have removed its root.)
    HKEY reopened = nullptr;
    const LONG reopenStatus =
        RegOpenKeyExA(HKEY_CLASSES_ROOT, rootName.c_str(), 0, KEY_ALL_ACCESS, &reopened);
    if (reopenStatus == ERROR_FILE_NOT_FOUND) {
        RegCloseKey(root);
        return 0;
    }
    FUZZ_CHECK(reopenStatus == ERROR_SUCCESS);
    DeleteSubtree(reopened);
    FUZZ_CHECK(ListSubkeys(reopened, 256).empty());
    RegCloseKey(reopened);
    RegCloseKey(root);
    FUZZ_CHECK(RegDeleteKeyA(HKEY_CLASSES_ROOT, rootName.c_str()) == ERROR_SUCCESS);
    HKEY gone = nullptr;
    FUZZ_CHECK(RegOpenKeyExA(HKEY_CLASSES_ROOT, rootName.c_str(), 0, KEY_READ, &gone) !=
               ERROR_SUCCESS);
    return 0;
}
