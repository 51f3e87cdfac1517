// The regular expressions of the bulk dispatcher, behind one small seam so that another PCRE
// back end can replace the current one without touching the dispatcher.
#pragma once

#include <memory>
#include <string>

class CVcorfiRegex {
public:
    // Default options. A pattern that does not compile makes every extraction fail.
    explicit CVcorfiRegex(const std::string& pattern);
    ~CVcorfiRegex();
    CVcorfiRegex(const CVcorfiRegex&) = delete;
    CVcorfiRegex& operator=(const CVcorfiRegex&) = delete;

    // The first capturing group of the first match anywhere in `text` (rewrite "\1");
    // false when there is no match or the pattern has no group.
    bool extractFirstGroup(const std::string& text, std::string& out) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
