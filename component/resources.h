#pragma once
// Module resources: typed, numbered data blocks (type library, strings, version block,
// bitmap) that a module carries in its own ELF section `.zevo_rsrc`, so that tools and
// containers read them from the file without loading or running the module.
//
// The section is text. Each resource starts with a header line
//   @@ TYPE ID LANGUAGE
// and its data are the lines up to the next header (joined with newlines, without the
// last newline). Lines starting with `#` before the first header are comments. A VERSION
// resource holds `Name=Value` lines; its FileVersion and ProductVersion name the version.
#include <map>
#include <string>
#include <utility>

namespace zevo::com {

struct ModuleResources {
    // (type, id) -> data.
    std::map<std::pair<std::string, int>, std::string> entries;
    std::map<std::pair<std::string, int>, int> languages;

    const std::string* Find(const std::string& type, int id) const;
    // One value of VERSION 1, or empty.
    std::string VersionValue(const std::string& name) const;
};

// Parses a resource section's text; false when it is not one.
bool ParseResources(const std::string& text, ModuleResources* resources);

// Reads the named section of a 64-bit little-endian ELF file. False when the file cannot
// be read, is not such a file or has no such section.
bool ReadElfSection(const std::string& path, const std::string& section, std::string* data);

// ReadElfSection + ParseResources of `.zevo_rsrc`; error says what failed.
bool ReadModuleResources(const std::string& path, ModuleResources* resources, std::string* error);

}  // namespace zevo::com
