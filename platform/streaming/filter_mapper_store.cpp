#include "streaming/filter_mapper_store.h"

#include <platform/platform.h>

#include "support/log.h"

#include <algorithm>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <cstring>

#include "support/log.h"
#include "support/text.h"

namespace platform {
namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const char* const kLegacyRoot = "Filter";
const char* const kCategoryRoot = "Categories";

HRESULT FromWin32(LONG status) { return HRESULT_FROM_WIN32(static_cast<ULONG>(status)); }

// An open key closed on scope exit.
class Key {
public:
    Key() = default;
    ~Key() {
        if (handle != nullptr) RegCloseKey(handle);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    LONG Open(HKEY parent, const std::string& path) {
        return RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &handle);
    }
    LONG Create(HKEY parent, const std::string& path) {
        return RegCreateKeyA(parent, path.c_str(), &handle);
    }
    HKEY Get() const { return handle; }

private:
    HKEY handle = nullptr;
};

LONG SetText(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

// Reads a REG_SZ value of any length; false when missing or of another type.
bool GetText(HKEY key, const char* name, std::string* text) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    std::vector<char> buffer(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &size) != ERROR_SUCCESS)
        return false;
    buffer[std::min<size_t>(size, buffer.size() - 1)] = '\0';
    *text = buffer.data();
    return true;
}

bool GetDword(HKEY key, const char* name, DWORD* value) {
    DWORD type = 0, size = sizeof(*value);
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof(*value);
}

// The names of a key's subkeys. A name too long for any entry of ours (someone else's writing)
// is skipped rather than ending the walk, so it cannot hide the entries sorted after it.
std::vector<std::string> Subkeys(HKEY key, LONG* failure = nullptr) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[MAX_PATH];
        DWORD size = sizeof(name);
        const LONG status = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            PLATFORM_LOG(platform::log::kRegistry, Warning, "skipping a key whose name has %u characters",
                         static_cast<unsigned>(size - 1));
            continue;
        }
        if (status != ERROR_SUCCESS) {
            if (status != ERROR_NO_MORE_ITEMS) {
                PLATFORM_LOG(platform::log::kRegistry, Error, "listing subkeys failed (error %d)", status);
                if (failure != nullptr) *failure = status;
            }
            break;
        }
        names.push_back(name);
    }
    return names;
}

// The names of the keys under one of the mappers' roots in HKEY_CLASSES_ROOT: ERROR_SUCCESS
// (none when the root is absent: no entries at all is an empty list), or why the root cannot be
// read (an unreadable registry is a failure).
LONG ListRoot(const char* root, std::vector<std::string>* names) {
    names->clear();
    Key key;
    const LONG status = key.Open(HKEY_CLASSES_ROOT, root);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) {
        PLATFORM_LOG(platform::log::kStreaming, Error, "filter mapper: cannot open %s (error %ld)",
                     root, static_cast<long>(status));
        return status;
    }
    LONG listing = ERROR_SUCCESS;
    *names = Subkeys(key.Get(), &listing);
    return listing;
}

// Removes a key and everything below it, deepest first. The first failure is the result: the
// parent cannot go while a child stays, and that child's reason (a full disk, a read-only store)
// is the one worth reporting.
LONG DeleteTree(HKEY parent, const std::string& path) {
    {
        Key key;
        LONG status = key.Open(parent, path);
        if (status != ERROR_SUCCESS) return status;
        LONG listing = ERROR_SUCCESS;
        for (const std::string& child : Subkeys(key.Get(), &listing)) {
            status = DeleteTree(key.Get(), child);
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
        }
        if (listing != ERROR_SUCCESS) return listing;
    }
    return RegDeleteKeyA(parent, path.c_str());
}

// A text that can be one key name: not empty, no backslash, within the platform's length.
bool ValidKeyName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name.find('\\') == std::string::npos;
}

bool GuidMatches(REFGUID wanted, REFGUID registered, bool exact) {
    return wanted == GUID_NULL || wanted == registered || (!exact && registered == GUID_NULL);
}

bool PinHasType(const FilterMapperStore::Pin& pin,
                const std::vector<FilterMapperStore::PinType>& wanted, bool exact) {
    for (const auto& want : wanted) {
        for (const auto& have : pin.types) {
            if (GuidMatches(want.major, have.major, exact) &&
                GuidMatches(want.minor, have.minor, exact))
                return true;
        }
    }
    return false;
}

// One side (inputs or outputs) of the conditions. A filter without pins of that side passes
// unless such a pin is needed (or, for inputs, a rendered one is).
bool SideMatches(const FilterMapperStore::Filter& filter, bool output, bool needed, bool render,
                 const std::vector<FilterMapperStore::PinType>& types, bool exact) {
    bool hasPin = false;
    for (const auto& pin : filter.pins) {
        if (((pin.flags & REG_PINFLAG_B_OUTPUT) != 0) != output) continue;
        hasPin = true;
        if (render && (pin.flags & REG_PINFLAG_B_RENDERER) == 0) continue;
        if (types.empty() || PinHasType(pin, types, exact)) return true;
    }
    return !hasPin && !needed && !render;
}

// An entry spans several registry writes. This lock, a file lock in the state directory, makes
// each store operation whole across threads and processes, so an unregistration in one process
// never deletes half of an entry that another process is writing (the registry would then refuse
// to delete a key that has just gained a child). Re-entrant within a thread: only the outermost
// operation locks. The lock file is private and never a planted symlink. Without a usable lock
// file (a read-only state directory) the operation goes on unlocked.
class EntryLock {
    static constexpr int kReaderWaitMs = 2000;
    static constexpr int kWriterWaitMs = 20000;

public:
    explicit EntryLock(int operation) {
        if (depth++ > 0) return;
        const std::string path = std::string(StateDirectory()) + "/filter-mapper.lock";
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != ELOOP) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            const int error = errno;
            PLATFORM_LOG(platform::log::kRegistry, Warning, "no entry lock %s: %s", path.c_str(), strerror(error));
            return;
        }
        // Bounded: an entry is written in milliseconds, so a lock held longer belongs to a
        // process that is stuck (stopped, hung in a server). Readers then go on and may see that
        // entry half written, as the layout allows; writers wait longer before they do.
        const auto limit = std::chrono::milliseconds(operation == LOCK_SH ? kReaderWaitMs
                                                                            : kWriterWaitMs);
        const auto start = std::chrono::steady_clock::now();
        while (flock(fd, operation | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) break;
            if (std::chrono::steady_clock::now() - start >= limit) {
                PLATFORM_LOG(platform::log::kRegistry, Warning, "%s stayed locked for %lld ms; going on without it",
                             path.c_str(), static_cast<long long>(limit.count()));
                break;
            }
            usleep(2000);
        }
    }
    ~EntryLock() {
        --depth;
        if (fd >= 0) close(fd);  // closing the descriptor releases the lock
    }
    EntryLock(const EntryLock&) = delete;
    EntryLock& operator=(const EntryLock&) = delete;

private:
    static thread_local int depth;
    int fd = -1;
};
thread_local int EntryLock::depth = 0;

}  // namespace

std::string FilterMapperStore::GuidText(REFGUID guid) { return platform::GuidText(guid); }

bool FilterMapperStore::ParseGuid(const std::string& text, GUID* guid) {
    return SUCCEEDED(CLSIDFromString(Widen(text).c_str(), guid));
}

std::string FilterMapperStore::Narrow(const std::u16string& text) { return Utf8FromUtf16(text); }

std::u16string FilterMapperStore::Widen(const std::string& text) { return Utf16FromUtf8(text); }

HRESULT FilterMapperStore::EntryPath(const CLSID* category, LPCOLESTR instance, REFCLSID clsid,
                                     std::string* path) {
    if (category == nullptr || *category == CLSID_LegacyAmFilterCategory) {
        *path = std::string(kLegacyRoot) + "\\" + GuidText(clsid);
        return S_OK;
    }
    const std::string name =
        instance != nullptr && *instance != 0 ? Narrow(instance) : GuidText(clsid);
    if (!ValidKeyName(name)) return E_INVALIDARG;
    *path = std::string(kCategoryRoot) + "\\" + GuidText(*category) + "\\Instance\\" + name;
    return S_OK;
}

HRESULT FilterMapperStore::WriteEntry(const std::string& path, const Filter& filter,
                                      bool isCategoryInstance) {
    EntryLock lock(LOCK_EX);
    for (const Pin& pin : filter.pins) {
        if (!ValidKeyName(Narrow(pin.name))) return E_INVALIDARG;
    }
    // What is left after an access-denied removal is the machine-wide store's entry: the
    // user's own entry goes over it and wins.
    const HRESULT removed = RemoveEntry(path);
    if (FAILED(removed) && removed != kNotFound && removed != FromWin32(ERROR_ACCESS_DENIED))
        return removed;
    HRESULT hr = WriteFilter(path, filter.clsid, filter.name, filter.merit, isCategoryInstance);
    for (size_t i = 0; SUCCEEDED(hr) && i < filter.pins.size(); ++i) hr = WritePin(path, filter.pins[i]);
    return hr;
}

HRESULT FilterMapperStore::WriteFilter(const std::string& path, REFCLSID clsid,
                                       const std::u16string& name, DWORD merit,
                                       bool isCategoryInstance) {
    EntryLock lock(LOCK_EX);
    Key key;
    LONG status = key.Create(HKEY_CLASSES_ROOT, path);
    if (status == ERROR_SUCCESS) status = SetText(key.Get(), nullptr, Narrow(name));
    if (status == ERROR_SUCCESS) status = SetDword(key.Get(), "Merit", merit);
    if (status == ERROR_SUCCESS && isCategoryInstance)
        status = SetText(key.Get(), "CLSID", GuidText(clsid));
    return FromWin32(status);
}

HRESULT FilterMapperStore::WritePin(const std::string& path, const Pin& pin) {
    EntryLock lock(LOCK_EX);
    const std::string pinName = Narrow(pin.name);
    if (!ValidKeyName(pinName)) return E_INVALIDARG;
    Key entry;
    LONG status = entry.Open(HKEY_CLASSES_ROOT, path);
    if (status != ERROR_SUCCESS) return FromWin32(status);

    // A new pin goes after the pins already there; a rewritten one keeps its place.
    DWORD order = 0;
    {
        Key pins;
        if (pins.Open(entry.Get(), "Pins") == ERROR_SUCCESS) {
            for (const std::string& existing : Subkeys(pins.Get())) {
                Key other;
                DWORD otherOrder = 0;
                if (other.Open(pins.Get(), existing) != ERROR_SUCCESS ||
                    !GetDword(other.Get(), "Order", &otherOrder))
                    continue;
                if (strcasecmp(existing.c_str(), pinName.c_str()) == 0) {
                    order = otherOrder;
                    break;
                }
                order = std::max(order, otherOrder + 1);
            }
        }
    }
    Key key;
    status = key.Create(entry.Get(), "Pins\\" + pinName);
    if (status == ERROR_SUCCESS) status = SetDword(key.Get(), "Flags", pin.flags);
    if (status == ERROR_SUCCESS) status = SetDword(key.Get(), "Order", order);
    if (status == ERROR_SUCCESS) {
        RegDeleteValueA(key.Get(), "ConnectsToFilter");
        RegDeleteValueA(key.Get(), "ConnectsToPin");
        if (pin.connectsToFilter != CLSID_NULL)
            status = SetText(key.Get(), "ConnectsToFilter", GuidText(pin.connectsToFilter));
    }
    if (status == ERROR_SUCCESS && !pin.connectsToPin.empty())
        status = SetText(key.Get(), "ConnectsToPin", Narrow(pin.connectsToPin));
    if (status != ERROR_SUCCESS) return FromWin32(status);
    for (const PinType& type : pin.types) {
        const HRESULT hr = WritePinType(path, pin.name, type);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT FilterMapperStore::WritePinType(const std::string& path, const std::u16string& pinName,
                                        const PinType& type) {
    EntryLock lock(LOCK_EX);
    const std::string name = Narrow(pinName);
    if (!ValidKeyName(name)) return E_INVALIDARG;
    Key pin;
    LONG status = pin.Open(HKEY_CLASSES_ROOT, path + "\\Pins\\" + name);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    Key typeKey;
    status = typeKey.Create(pin.Get(),
                            "Types\\" + GuidText(type.major) + "\\" + GuidText(type.minor));
    return FromWin32(status);
}

HRESULT FilterMapperStore::RemovePin(const std::string& path, const std::u16string& pinName) {
    EntryLock lock(LOCK_EX);
    const std::string name = Narrow(pinName);
    if (!ValidKeyName(name)) return kNotFound;
    return FromWin32(DeleteTree(HKEY_CLASSES_ROOT, path + "\\Pins\\" + name));
}

HRESULT FilterMapperStore::RemoveEntry(const std::string& path) {
    EntryLock lock(LOCK_EX);
    return FromWin32(DeleteTree(HKEY_CLASSES_ROOT, path));
}

HRESULT FilterMapperStore::CreateCategory(REFCLSID category, DWORD merit,
                                          const std::u16string& description) {
    EntryLock lock(LOCK_EX);
    Key key;
    LONG status = key.Create(HKEY_CLASSES_ROOT, std::string(kCategoryRoot) + "\\" + GuidText(category));
    if (status == ERROR_SUCCESS) status = SetText(key.Get(), nullptr, Narrow(description));
    if (status == ERROR_SUCCESS) status = SetDword(key.Get(), "Merit", merit);
    return FromWin32(status);
}

HRESULT FilterMapperStore::ReadEntry(const std::string& path, Filter* filter) {
    EntryLock lock(LOCK_SH);
    Key entry;
    const LONG status = entry.Open(HKEY_CLASSES_ROOT, path);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    *filter = Filter();
    std::string text;
    // The class identifier is the key name of a legacy entry, a value of a category instance.
    const std::string keyName = path.substr(path.rfind('\\') + 1);
    if (!(GetText(entry.Get(), "CLSID", &text) && ParseGuid(text, &filter->clsid)) &&
        !ParseGuid(keyName, &filter->clsid))
        return REGDB_E_READREGDB;
    if (GetText(entry.Get(), nullptr, &text)) filter->name = Widen(text);
    GetDword(entry.Get(), "Merit", &filter->merit);

    Key pins;
    if (pins.Open(entry.Get(), "Pins") != ERROR_SUCCESS) return S_OK;
    std::vector<std::pair<DWORD, Pin>> ordered;
    for (const std::string& pinName : Subkeys(pins.Get())) {
        Key pinKey;
        if (pinKey.Open(pins.Get(), pinName) != ERROR_SUCCESS) continue;
        Pin pin;
        pin.name = Widen(pinName);
        GetDword(pinKey.Get(), "Flags", &pin.flags);
        DWORD order = 0xFFFFFFFF;
        GetDword(pinKey.Get(), "Order", &order);
        if (GetText(pinKey.Get(), "ConnectsToFilter", &text))
            ParseGuid(text, &pin.connectsToFilter);
        if (GetText(pinKey.Get(), "ConnectsToPin", &text)) pin.connectsToPin = Widen(text);
        Key types;
        if (types.Open(pinKey.Get(), "Types") == ERROR_SUCCESS) {
            for (const std::string& major : Subkeys(types.Get())) {
                PinType type{};
                if (!ParseGuid(major, &type.major)) continue;
                Key majorKey;
                if (majorKey.Open(types.Get(), major) != ERROR_SUCCESS) continue;
                for (const std::string& minor : Subkeys(majorKey.Get())) {
                    if (ParseGuid(minor, &type.minor)) pin.types.push_back(type);
                }
            }
        }
        ordered.emplace_back(order, std::move(pin));
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entryPin : ordered) filter->pins.push_back(std::move(entryPin.second));
    return S_OK;
}

HRESULT FilterMapperStore::ReadAll(bool includeCategories, std::vector<Filter>* filters) {
    EntryLock lock(LOCK_SH);
    filters->clear();
    std::vector<std::string> paths;
    std::vector<std::string> names;
    LONG status = ListRoot(kLegacyRoot, &names);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    for (const std::string& name : names) paths.push_back(std::string(kLegacyRoot) + "\\" + name);
    if (includeCategories) {
        status = ListRoot(kCategoryRoot, &names);
        if (status != ERROR_SUCCESS) return FromWin32(status);
        LONG listing = ERROR_SUCCESS;
        for (const std::string& category : names) {
            const std::string instances =
                std::string(kCategoryRoot) + "\\" + category + "\\Instance";
            Key instanceKey;
            if (instanceKey.Open(HKEY_CLASSES_ROOT, instances) != ERROR_SUCCESS) continue;
            for (const std::string& name : Subkeys(instanceKey.Get(), &listing))
                paths.push_back(instances + "\\" + name);
        }
        if (listing != ERROR_SUCCESS) return FromWin32(listing);
    }
    for (const std::string& path : paths) {
        Filter filter;
        const HRESULT hr = ReadEntry(path, &filter);
        if (SUCCEEDED(hr)) filters->push_back(std::move(filter));
        else  // half written by another process, or damaged: left out of every match
            PLATFORM_LOG(platform::log::kStreaming, Warning, "filter mapper: entry %s unreadable (status 0x%08X)",
                         path.c_str(), static_cast<unsigned>(hr));
    }
    return S_OK;
}

std::vector<FilterMapperStore::Filter> FilterMapperStore::Match(const std::vector<Filter>& filters,
                                                                const Conditions& conditions) {
    std::vector<Filter> matched;
    for (const Filter& filter : filters) {
        if (filter.merit < conditions.merit) continue;
        if (!SideMatches(filter, false, conditions.inputNeeded, conditions.render,
                         conditions.inputTypes, conditions.exactMatch))
            continue;
        if (!SideMatches(filter, true, conditions.outputNeeded, false, conditions.outputTypes,
                         conditions.exactMatch))
            continue;
        matched.push_back(filter);
    }
    std::stable_sort(matched.begin(), matched.end(),
                     [](const Filter& a, const Filter& b) { return a.merit > b.merit; });
    return matched;
}

}  // namespace platform
