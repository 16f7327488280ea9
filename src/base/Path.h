// Path functions of the storage framework: the separator set, the directory
// part of a path, normalisation, and a name-safe hash of a path.
#ifndef SETTINGSTORE_BASE_PATH_H
#define SETTINGSTORE_BASE_PATH_H

#include <string>
#include <string_view>

namespace storage::utils {

namespace path {

// The one separator this platform writes when it builds a path. Both '/' and
// '\\' are read as separators everywhere.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// The characters that separate path components: backslash and slash.
std::string_view GetSeparators();

// The directory part of a path: the text before its last separator, without
// the separators that end it; the root separator for a path right below the
// root ("/a" gives "/"); empty for a path without any separator (a bare name
// lies in the current directory).
std::string GetDir(const std::string& path);

// The absolute form of a path (a relative one is taken from the current
// directory): "." and ".." resolved, runs of separators of either kind turned
// into one kSeparator, no trailing separator except for the root itself. The
// text is worked on alone, symbolic links are not followed; letter case is
// kept. Throws std::runtime_error when the current directory is unknown.
std::string Normalize(const std::string& path);

}  // namespace path

// A name for the path that is made only of the characters 0-9 and a-f (16 of
// them), so that it can be part of any object or file name. Spellings of the
// same location (see path::Normalize) give the same name.
std::string GenerateUniqueHashByPath(const std::string& path);

}  // namespace storage::utils

#endif  // SETTINGSTORE_BASE_PATH_H
