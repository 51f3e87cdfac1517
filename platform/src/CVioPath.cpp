#include "CVioPath.h"

#include <algorithm>
#include <cstring>

namespace {

size_t lastSeparator(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash != std::string::npos ? slash : path.rfind('\\');
}

}  // namespace

std::string CVioPath::join(const std::string& directory, const std::string& name,
                           const char* separators) {
    if (directory.empty() || std::strchr(separators, directory.back()) != nullptr) {
        return directory + name;
    }
    return directory + "/" + name;
}

std::string CVioPath::joinSlashed(const std::string& directory, const std::string& name) {
    return join(slashed(directory), name, "/");
}

std::string CVioPath::slashed(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::string CVioPath::directoryOf(const std::string& path, const std::string& none) {
    const size_t separator = lastSeparator(path);
    return separator == std::string::npos ? none : path.substr(0, separator);
}

std::string CVioPath::baseName(const std::string& path) {
    const size_t separator = lastSeparator(path);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}
