// Growable zero-terminated text buffer used by the HTTP client to collect response data.
#pragma once

#include <cstddef>
#include <cstdint>

struct CVtextBuffer {
    char* data = nullptr;  // null when there is no storage
    int32_t capacity = 0;  // bytes allocated
    int32_t length = 0;    // bytes in use; data[length] is 0

    CVtextBuffer() = default;
    ~CVtextBuffer();
    CVtextBuffer(const CVtextBuffer&) = delete;
    CVtextBuffer& operator=(const CVtextBuffer&) = delete;
};

// Drops any storage, then allocates `capacity` bytes holding the empty text when it is at
// least 1.
bool textBufferCreate(CVtextBuffer& buffer, int32_t capacity);
// Appends `count` bytes as text (stops early at a zero byte) and adds `count` to the length.
bool textBufferAppend(CVtextBuffer& buffer, const char* bytes, size_t count);
bool textBufferAppendText(CVtextBuffer& buffer, const char* text);
void textBufferClear(CVtextBuffer& buffer);
void textBufferFree(CVtextBuffer& buffer);
