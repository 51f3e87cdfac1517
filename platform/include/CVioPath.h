// Joining and splitting paths, the one way every layer does it.
#pragma once

#include <string>

class CVioPath {
public:
    CVioPath() = delete;

    // `directory` + "/" + `name`, or `directory` + `name` when the directory is empty or already
    // ends in one of `separators`.
    static std::string join(const std::string& directory, const std::string& name,
                            const char* separators = "/\\");
    // The same after every backslash of the directory became a slash, as the daemon's own
    // configuration paths are written.
    static std::string joinSlashed(const std::string& directory, const std::string& name);
    // The text with every backslash a slash.
    static std::string slashed(std::string text);
    // Everything before the last '/' (or, without one, the last '\\'); `none` when there is
    // neither.
    static std::string directoryOf(const std::string& path, const std::string& none = "./");
    // Everything after it; the whole path when there is neither.
    static std::string baseName(const std::string& path);
};
