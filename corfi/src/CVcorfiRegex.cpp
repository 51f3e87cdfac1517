#include "CVcorfiRegex.h"

#include <pcrecpp.h>

struct CVcorfiRegex::Impl {
    explicit Impl(const std::string& pattern) : re(pattern) {}
    pcrecpp::RE re;
};

CVcorfiRegex::CVcorfiRegex(const std::string& pattern) : m_impl(std::make_unique<Impl>(pattern)) {}

CVcorfiRegex::~CVcorfiRegex() = default;

bool CVcorfiRegex::extractFirstGroup(const std::string& text, std::string& out) const {
    // A pattern that failed to compile has no compiled form, so Extract reports no match.
    return m_impl->re.Extract("\\1", text, &out);
}
