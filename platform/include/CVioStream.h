// Sole owner of a C stream: closed when the owner goes.
#pragma once

#include <cstdio>
#include <memory>

struct CVioStreamCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};

using CVioStream = std::unique_ptr<FILE, CVioStreamCloser>;
