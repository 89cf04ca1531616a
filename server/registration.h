// Self-registration: the class keys under HKEY_CLASSES_ROOT\CLSID and the filter mapper entries
// for every entry of the class table. Everything runs on the calling thread and takes no lock;
// COM is initialised and uninitialised on that thread around the mapper work.
#pragma once

#include <objbase.h>

// Registers (TRUE) or unregisters (FALSE) every class of the table: class keys first and mapper
// entries second when registering, mapper entries first and class keys last (only when the
// mapper step succeeded) when unregistering. A library path that is not valid text in the
// code page is refused with HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION) before anything
// is written: widened, it would name a file that does not exist.
HRESULT RegisterServer(BOOL registering);

// Writes (TRUE) or removes (FALSE) the class keys of every table entry, in table order; the
// first failure ends the walk.
HRESULT RegisterClassKeys(LPCWSTR modulePath, BOOL registering);

// CLSID\{classId} = displayName; CLSID\{classId}\<serverSubkey> = modulePath with
// "ThreadingModel" = threadingModel. Returns the registry failure as a status, or
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), with nothing written, when a text does not fit
// MAX_PATH bytes once narrowed.
HRESULT WriteClassKey(CLSID classId, LPCWSTR displayName, LPCWSTR modulePath,
                      LPCWSTR threadingModel, LPCWSTR serverSubkey);

// Deletes CLSID\{classId} and everything below it. Always S_OK: a missing key is no error.
HRESULT RemoveClassKey(CLSID classId);

// Deletes the key at path below parent, depth first. E_FAIL for an empty path, S_OK otherwise
// (also when the key does not exist). A child that cannot be deleted ends the walk instead of
// being enumerated again forever.
HRESULT DeleteKeyTree(HKEY parent, LPCSTR path);
