// Ends a rest early when a wanted entry appears in one directory, or when a stop is requested.
// Built on inotify; when that cannot be set up the watch is invalid and callers rest as before.
#pragma once

#include <functional>
#include <string>

#include "CVioDescriptor.h"

class CVcorfiDirectoryWatch {
public:
    enum Wake { STOPPED, CHANGED, TIMED_OUT };
    // Which entry names end a rest.
    using NameFilter = std::function<bool(const char* name)>;

    // Watches `directory` for entries moved in, created or closed after writing. `burstMs`: how
    // long a wake waits after the first wanted entry so that a burst is taken in one cycle.
    CVcorfiDirectoryWatch(const std::string& directory, NameFilter wanted, int burstMs = 10);
    ~CVcorfiDirectoryWatch();
    CVcorfiDirectoryWatch(const CVcorfiDirectoryWatch&) = delete;
    CVcorfiDirectoryWatch& operator=(const CVcorfiDirectoryWatch&) = delete;

    bool valid() const { return m_inotify.valid(); }
    // Logs once that the directory (as configured: `shown`) is not watched, when invalid.
    void warnIfInvalid(const std::string& shown) const;
    // The errno of the failed set-up; 0 when valid.
    int error() const { return m_error; }

    // Waits up to `timeoutMs` (0: just look) for a stop request or a wanted entry. Events that
    // came during the caller's work are still pending and end the wait at once. An invalid
    // watch waits for the stop alone.
    Wake wait(int timeoutMs);

    // Set before constructing, a watch cannot be set up: inotify is treated as unavailable.
    static constexpr const char* DISABLE_VARIABLE = "CORFI_TEST_NO_INOTIFY";

private:
    // True when the pending events name a wanted entry (or were too many to tell).
    bool takeEvents();

    CVioDescriptor m_inotify;
    NameFilter m_wanted;
    int m_burstMs;
    int m_error = 0;
};
