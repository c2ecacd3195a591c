#pragma once
// The directory that holds the channel file and the text logs: the executable's own directory,
// up to and including its last path separator. Tests point it at a directory of their own.

#include <string>
#include <string_view>

// The directory, ending in a path separator (empty when the executable's path is unknown).
std::string ProgramDirectory();

// The full path of a file in that directory.
std::string ProgramFilePath(std::string_view fileName);

// Uses `directory` (which must end in a path separator) instead of the executable's directory;
// an empty text restores the executable's directory.
void OverrideProgramDirectory(std::string directory);
