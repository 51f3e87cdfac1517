#include "CVtextBuffer.h"

#include <cstdlib>
#include <cstring>

// Invariant: data[length] is 0 and nothing past it is ever read, so the buffer zeroes only
// what it has used instead of its whole capacity. An HTTP request creates and clears buffers
// of 100 KiB that usually hold a few bytes.

CVtextBuffer::~CVtextBuffer() {
    textBufferFree(*this);
}

bool textBufferCreate(CVtextBuffer& buffer, int32_t capacity) {
    textBufferFree(buffer);
    buffer.capacity = 0;
    buffer.length = 0;
    if (capacity < 1) {
        return true;
    }
    buffer.data = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
    if (buffer.data == nullptr) {
        return false;
    }
    buffer.data[0] = '\0';
    buffer.capacity = capacity;
    return true;
}

bool textBufferAppend(CVtextBuffer& buffer, const char* bytes, size_t count) {
    if (bytes == nullptr || count == 0) {
        return false;
    }
    const size_t length = static_cast<size_t>(buffer.length);
    if (buffer.data == nullptr) {
        buffer.data = static_cast<char*>(malloc(count + 100));
        if (buffer.data == nullptr) {
            return false;
        }
        buffer.capacity = static_cast<int32_t>(count + 100);
        buffer.length = 0;
    } else if (length + count + 2 > static_cast<size_t>(buffer.capacity)) {
        size_t grown = length + count + 100;
        char* data = static_cast<char*>(realloc(buffer.data, grown));
        if (data == nullptr) {
            return false;
        }
        buffer.data = data;
        buffer.capacity = static_cast<int32_t>(grown);
    }
    // Text semantics: bytes after an embedded zero are not copied, yet the length counts them.
    size_t copied = strnlen(bytes, count);
    memcpy(buffer.data + buffer.length, bytes, copied);
    memset(buffer.data + buffer.length + copied, 0, count - copied);
    buffer.length += static_cast<int32_t>(count);
    buffer.data[buffer.length] = '\0';
    return true;
}

bool textBufferAppendText(CVtextBuffer& buffer, const char* text) {
    if (text == nullptr) {
        return false;
    }
    return textBufferAppend(buffer, text, strlen(text));
}

void textBufferClear(CVtextBuffer& buffer) {
    if (buffer.data != nullptr) {
        memset(buffer.data, 0, static_cast<size_t>(buffer.length) + 1);
        buffer.length = 0;
    }
}

void textBufferFree(CVtextBuffer& buffer) {
    free(buffer.data);
    buffer.data = nullptr;
    buffer.capacity = 0;
    buffer.length = 0;
}
