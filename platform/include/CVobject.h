// Root of the library's thread, lock, event, file and directory classes.
#pragma once

class CVobject {
public:
    CVobject() = default;
    virtual ~CVobject();

    // These objects own OS resources (mutexes, streams); copying them would share or double-free.
    CVobject(const CVobject&) = delete;
    CVobject& operator=(const CVobject&) = delete;
};
