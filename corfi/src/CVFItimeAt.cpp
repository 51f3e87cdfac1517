#include "CVFItimeAt.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "CVFImessage.h"
#include "formatString.h"

namespace {

constexpr time_t kHour = 3600;

struct WallClock {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
};

// Exactly "YYYY-MM-DD HH:MM": sscanf alone would let blanks and signs through.
bool parseWallClock(const std::string& text, WallClock& clock) {
    const std::string shape = "dddd-dd-dd dd:dd";
    if (text.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) {
            return false;
        }
    }
    std::sscanf(text.c_str(), "%d-%d-%d %d:%d", &clock.year, &clock.month, &clock.day, &clock.hour,
                &clock.minute);
    return clock.hour <= 23 && clock.minute <= 59;
}

bool sameMinute(const struct tm& shown, const WallClock& clock) {
    return shown.tm_year == clock.year - 1900 && shown.tm_mon == clock.month - 1 &&
           shown.tm_mday == clock.day && shown.tm_hour == clock.hour &&
           shown.tm_min == clock.minute;
}

bool isCalendarDate(const WallClock& clock) {
    struct tm noon {};
    noon.tm_year = clock.year - 1900;
    noon.tm_mon = clock.month - 1;
    noon.tm_mday = clock.day;
    noon.tm_hour = 12;
    const time_t utc = timegm(&noon);
    return utc != static_cast<time_t>(-1) && noon.tm_mon == clock.month - 1 &&
           noon.tm_mday == clock.day;
}

// The moments at which the local clock shows that minute: none in the gap when daylight-saving
// time begins, two in the hour repeated when it ends.
std::vector<time_t> occurrences(const WallClock& clock) {
    std::vector<time_t> found;
    for (const int dst : {0, 1}) {
        struct tm shown {};
        shown.tm_year = clock.year - 1900;
        shown.tm_mon = clock.month - 1;
        shown.tm_mday = clock.day;
        shown.tm_hour = clock.hour;
        shown.tm_min = clock.minute;
        shown.tm_isdst = dst;
        // mktime moves a minute that does not exist with this flag, so the fields tell.
        const time_t when = mktime(&shown);
        if (when != static_cast<time_t>(-1) && shown.tm_isdst == dst && sameMinute(shown, clock)) {
            found.push_back(when);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

bool CVFItimeAtValue(time_t when, std::string& value) {
    const time_t later = when + kHour;
    struct tm local {};
    if (localtime_r(&later, &local) == nullptr) {
        return false;
    }
    struct tm standard = local;
    if (local.tm_isdst > 0) {
        // The same fields read as standard time lie later by the saving in effect.
        struct tm asStandard = local;
        asStandard.tm_isdst = 0;
        const time_t saving = mktime(&asStandard) - later;
        const time_t fields = timegm(&local) - saving;
        gmtime_r(&fields, &standard);
    }
    if (standard.tm_year < 100 || standard.tm_year > 199) {
        return false;
    }
    value = formatString("%02d-%02d-%02d-%02d-%02d", standard.tm_mon + 1, standard.tm_mday,
                         standard.tm_year - 100, standard.tm_hour, standard.tm_min);
    // The daemon's own reading has the last word, whatever the zone's history holds.
    time_t read = 0;
    return CVFIparseTimeAt(value.c_str(), &read) && read == when;
}

bool CVFItimeAtFromWallClock(const std::string& text, std::string& value, std::string& error) {
    WallClock clock;
    if (!parseWallClock(text, clock) || !isCalendarDate(clock)) {
        error = "not a date and time of the form YYYY-MM-DD HH:MM: " + text;
        return false;
    }
    const std::vector<time_t> moments = occurrences(clock);
    if (moments.empty()) {
        error = "the local clock skips " + text + " (daylight-saving time begins)";
        return false;
    }
    if (!CVFItimeAtValue(moments.front(), value)) {
        error = "no TIME_AT value stands for " + text + " (years 2000 to 2099 only)";
        return false;
    }
    return true;
}
