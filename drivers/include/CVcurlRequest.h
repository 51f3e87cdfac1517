// One HTTP request as the caller describes it; CVcurlService sends it.
#pragma once

#include <string>
#include <vector>

enum CVcurlMethod : int {
    CVcurlPost = 0,
    CVcurlGet = 1,
    CVcurlPut = 2,  // the parameter text is uploaded as the body
    CVcurlDelete = 3,
};

// A plain record that owns its texts. An empty text counts as "not given".
struct CVcurlRequest {
    std::string url;  // required; a GET replaces it with the url it composed
    std::string proxy;
    std::string proxyUser;
    std::string proxyPassword;  // used only with a proxy user
    std::string referer;
    std::string cookie;  // Cookie header text, ignored while a cookie jar is in use
    CVcurlMethod method = CVcurlPost;
    std::vector<std::string> parameters;  // "name=value" or a bare text, encoded when sent
    std::string extraParameters;          // appended after the parameters as it is
    std::string attachment;               // a file path; kept for the caller, never sent

    int parameterCount() const { return static_cast<int>(parameters.size()); }
};
