// The filter mappers' entries in the registry. Both mappers read and write this one layout, so
// each sees the other's registrations. All under HKEY_CLASSES_ROOT:
//
//   Filter\{clsid}                            the legacy filter category (both mappers)
//       (default)          REG_SZ     filter name
//       Merit              REG_DWORD  merit
//       Pins\<pin name>                       one key per pin
//           Flags          REG_DWORD  REG_PINFLAG_B_ZERO | _RENDERER | _MANY | _OUTPUT
//           Order          REG_DWORD  registration order of the pin within the filter
//           ConnectsToFilter REG_SZ   {clsid} text (absent for none)
//           ConnectsToPin  REG_SZ     pin name (absent for none)
//           Types\{major}\{minor}             one key per media type
//   Categories\{category}                     other categories (IFilterMapper2 only)
//       (default)          REG_SZ     description
//       Merit              REG_DWORD  category merit
//       Instance\<instance name or {clsid}>   an entry of the same shape as Filter\{clsid},
//           CLSID          REG_SZ     plus the filter's {clsid}
//
// Texts are stored as UTF-8. An entry is written with several registry calls, so a reader in
// another process may see one half written: it then sees fewer pins or types, never garbage.
//
// Threads: stateless; any thread (the registry serialises access).
#pragma once

#include <dshow.h>

#include <string>
#include <vector>

namespace platform {

class FilterMapperStore {
public:
    struct PinType {
        GUID major;
        GUID minor;
    };
    struct Pin {
        std::u16string name;
        DWORD flags = 0;  // REG_PINFLAG_*
        CLSID connectsToFilter = CLSID_NULL;
        std::u16string connectsToPin;
        std::vector<PinType> types;
    };
    struct Filter {
        CLSID clsid = CLSID_NULL;
        std::u16string name;
        DWORD merit = MERIT_NORMAL;
        std::vector<Pin> pins;
    };
    // What EnumMatchingFilters asks for. Empty type lists and GUID_NULL mean "any".
    struct Conditions {
        DWORD merit = 0;
        bool exactMatch = false;  // a registered GUID_NULL is no wildcard
        bool inputNeeded = false;
        std::vector<PinType> inputTypes;
        bool render = false;
        bool outputNeeded = false;
        std::vector<PinType> outputTypes;
    };

    // The entry's key path under HKEY_CLASSES_ROOT: Filter\{clsid} for a null or legacy category,
    // else Categories\{category}\Instance\<instance, or {clsid} when none>. E_INVALIDARG for an
    // instance name that cannot be a key name.
    static HRESULT EntryPath(const CLSID* category, LPCOLESTR instance, REFCLSID clsid,
                             std::string* path);

    // Replaces the whole entry: name, merit and pins with their types. Every pin name is checked
    // before anything is written.
    static HRESULT WriteEntry(const std::string& path, const Filter& filter,
                              bool isCategoryInstance);
    // Writes name and merit, creating the entry; pins already registered stay.
    static HRESULT WriteFilter(const std::string& path, REFCLSID clsid, const std::u16string& name,
                               DWORD merit, bool isCategoryInstance);
    // Adds or rewrites one pin (with its types) of an existing entry.
    static HRESULT WritePin(const std::string& path, const Pin& pin);
    static HRESULT WritePinType(const std::string& path, const std::u16string& pinName,
                                const PinType& type);
    // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when there is nothing to remove.
    static HRESULT RemovePin(const std::string& path, const std::u16string& pinName);
    static HRESULT RemoveEntry(const std::string& path);
    static HRESULT CreateCategory(REFCLSID category, DWORD merit, const std::u16string& description);

    static HRESULT ReadEntry(const std::string& path, Filter* filter);
    // Legacy entries, then (with includeCategories) every category's instances; each group in
    // registry order. Unreadable entries are skipped.
    static HRESULT ReadAll(bool includeCategories, std::vector<Filter>* filters);

    // The entries meeting the conditions, highest merit first, otherwise in the order given.
    static std::vector<Filter> Match(const std::vector<Filter>& filters,
                                     const Conditions& conditions);

    // Registry text helpers, shared with the tools (the first and the last two are the support
    // library's text forms).
    static std::string GuidText(REFGUID guid);
    static bool ParseGuid(const std::string& text, GUID* guid);
    static std::string Narrow(const std::u16string& text);
    static std::u16string Widen(const std::string& text);
};

}  // namespace platform
