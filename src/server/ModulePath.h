// The module's own path, in wide characters and of any length: a folder name
// outside the system's ANSI code page or a path past MAX_PATH must not keep
// the server from finding its type library or registering itself.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace rd::server {

// The longest path the system handles, in characters.
inline constexpr std::size_t kLongestPath = 32767;

// The module's file as the loader names it (GetModuleFileNameW into a buffer
// that grows until the name fits). Raises PlatformCallError.
std::wstring ModuleFileName(HMODULE module);

// The module's path with every component in its long form and in the letter
// case stored on disk. Raises PlatformCallError.
std::wstring ModuleLongPath(HMODULE module);

// The rebuild itself: from the end of `path`, each component that
// FindFirstFileW finds is replaced by the name stored on disk; the part in
// front of the first component it cannot find is kept as it stands.
std::wstring LongPathOf(std::wstring path);

// The short (8.3) form of `path`, given back in the form `path` has (plain
// or extended); empty when the system has none.
std::wstring ShortPathOf(const std::wstring& path);

// For the calls that take no more than MAX_PATH characters (LoadTypeLib, the
// runtime reading InprocServer32): `path` when it is shorter than that, else
// its short form when there is one, else `path`.
std::wstring WithinMaxPath(const std::wstring& path);

// `path` in the form the file functions accept past MAX_PATH ("\\?\C:\...",
// "\\?\UNC\host\share\..."); shorter paths and relative ones come back as
// they are.
std::wstring ExtendedPath(const std::wstring& path);

}  // namespace rd::server
