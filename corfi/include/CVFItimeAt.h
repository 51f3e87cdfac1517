// TIME_AT values for moments: the inverse of CVFIparseTimeAt, which reads a value as local
// standard time with the hour one less than written. A value is therefore the moment one hour
// later, written in standard time; hour 00 stands for 23:00 of the day before.
#pragma once

#include <ctime>
#include <string>

// The "MM-DD-YY-HH-MM" value that CVFIparseTimeAt reads as `when` (whole minutes, local zone).
// False when no value stands for it: before 2000, after 2099, or not on a minute of the
// local clock.
bool CVFItimeAtValue(time_t when, std::string& value);

// The value for the local wall-clock minute "YYYY-MM-DD HH:MM". False, with the reason in
// `error`, for a malformed text or date, a minute the clock skips when daylight-saving time
// begins, or a moment without a value. A minute the clock shows twice, when it goes back, is
// its first occurrence.
bool CVFItimeAtFromWallClock(const std::string& text, std::string& value, std::string& error);
