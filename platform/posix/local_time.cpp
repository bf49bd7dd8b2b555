#include "platform/local_time.h"

namespace ostrel::platform {

namespace {

bool convert(int64_t unix_seconds, std::tm& out) {
    const auto t = static_cast<time_t>(unix_seconds);
    if (static_cast<int64_t>(t) != unix_seconds) return false;
    return localtime_r(&t, &out) != nullptr;  // honours TZ
}

// What the last tzset() set up; localtime_r converts with that zone.
struct zone_identity {
    long offset = 0;
    int daylight_rules = 0;
    const char* standard_name = nullptr;
    const char* summer_name = nullptr;
    bool operator==(const zone_identity&) const = default;
};

zone_identity current_zone() { return {timezone, daylight, tzname[0], tzname[1]}; }

// Local time by quarter hours. A scan converts three stamps per file, and
// the system's conversion cost as much as parsing the file's record. Zone
// offsets in use are whole quarter hours, so within a quarter hour of UTC
// local time moves with UTC: each quarter is converted once, at its first
// and last second. When the two do not agree with that (the offset changes
// inside it, or an offset of odd minutes from before standard time), that
// quarter's times are converted one by one. A new zone set up by tzset()
// starts over.
class quarter_hours {
public:
    bool local_time(int64_t seconds, std::tm& out) {
        const int64_t quarter = seconds >= 0 ? seconds / seconds_per_quarter
                                             : -((-seconds + seconds_per_quarter - 1) / seconds_per_quarter);
        if (!filled_ || quarter != quarter_ || !(zone_ == current_zone())) fill(quarter);
        if (!exact_) return convert(seconds, out);
        const int64_t into_hour = (seconds - quarter * seconds_per_quarter) + start_.tm_min * 60 + start_.tm_sec;
        out = start_;
        out.tm_min = static_cast<int>(into_hour / 60);
        out.tm_sec = static_cast<int>(into_hour % 60);
        return true;
    }

private:
    static constexpr int64_t seconds_per_quarter = 900;

    void fill(int64_t quarter) {
        filled_ = true;
        quarter_ = quarter;
        std::tm end{};
        const int64_t first = quarter * seconds_per_quarter, last = first + seconds_per_quarter - 1;
        exact_ = convert(first, start_) && convert(last, end);
        zone_ = current_zone();  // after converting: the first conversion sets the zone up
        const int start_in_hour = start_.tm_min * 60 + start_.tm_sec;
        exact_ = exact_ && start_in_hour + seconds_per_quarter - 1 < 3600 && end.tm_hour == start_.tm_hour &&
                 end.tm_yday == start_.tm_yday && end.tm_min * 60 + end.tm_sec == start_in_hour + seconds_per_quarter - 1;
    }

    bool filled_ = false;
    bool exact_ = false;
    int64_t quarter_ = 0;
    zone_identity zone_;
    std::tm start_{};
};

}  // namespace

bool to_local_time(int64_t unix_seconds, std::tm& out) {
    thread_local quarter_hours converter;
    return converter.local_time(unix_seconds, out);
}

}  // namespace ostrel::platform
