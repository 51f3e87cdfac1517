#include "CVcorfiRegex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

struct CVcorfiRegex::Impl {
    struct CodeFree {
        void operator()(pcre2_code* code) const { pcre2_code_free(code); }
    };
    struct MatchDataFree {
        void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
    };

    explicit Impl(const std::string& pattern) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(), 0,
                                 &error, &offset, nullptr));
    }

    std::unique_ptr<pcre2_code, CodeFree> code;
};

CVcorfiRegex::CVcorfiRegex(const std::string& pattern) : m_impl(std::make_unique<Impl>(pattern)) {}

CVcorfiRegex::~CVcorfiRegex() = default;

bool CVcorfiRegex::extractFirstGroup(const std::string& text, std::string& out) const {
    if (!m_impl->code) {
        return false;
    }
    std::unique_ptr<pcre2_match_data, Impl::MatchDataFree> match(
        pcre2_match_data_create_from_pattern(m_impl->code.get(), nullptr));
    if (!match) {
        return false;
    }
    const int pairs = pcre2_match(m_impl->code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()),
                                  text.size(), 0, 0, match.get(), nullptr);
    // Group 1 must lie within the pairs the match set: a group that did not take part, with no
    // later one that did, is no extraction, while one followed by a set group extracts as empty.
    if (pairs < 2) {
        return false;
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match.get());
    out.clear();
    if (ovector[2] != PCRE2_UNSET) {
        out.assign(text, ovector[2], ovector[3] - ovector[2]);
    }
    return true;
}
