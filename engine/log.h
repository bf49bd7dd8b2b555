// Log lines: "[" tag "]\t" followed by one message, formatted with the
// conventions of the wide printf family ("%I64d" is a signed 64-bit decimal,
// "%s" a UTF-16 string). Messages are UTF-8 in the source and reach the host
// as UTF-16; the engine adds nothing (no newline) to what a message holds.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace ostrel {

// One argument of a log message.
class log_arg {
public:
    enum class kind { signed_int, unsigned_int, real, text };

    log_arg(int v) : kind_(kind::signed_int), signed_(v) {}
    log_arg(long v) : kind_(kind::signed_int), signed_(v) {}
    log_arg(long long v) : kind_(kind::signed_int), signed_(v) {}
    log_arg(unsigned v) : kind_(kind::unsigned_int), unsigned_(v) {}
    log_arg(unsigned long v) : kind_(kind::unsigned_int), unsigned_(v) {}
    log_arg(unsigned long long v) : kind_(kind::unsigned_int), unsigned_(v) {}
    log_arg(double v) : kind_(kind::real), real_(v) {}
    log_arg(std::u16string_view v) : kind_(kind::text), text_(v) {}
    log_arg(const char16_t* v) : kind_(kind::text), text_(v ? v : u"") {}

    kind type() const { return kind_; }
    int64_t as_signed() const;
    uint64_t as_unsigned() const;
    double as_real() const;
    std::u16string_view as_text() const { return text_; }

private:
    kind kind_;
    int64_t signed_ = 0;
    uint64_t unsigned_ = 0;
    double real_ = 0;
    std::u16string_view text_;
};

// Formats `format` (UTF-8) with `args`; a missing argument formats as 0 or "".
std::u16string format_message(std::string_view format, std::initializer_list<log_arg> args = {});

// "[tag]\t" + the formatted message, sent to the host's log_line.
void log_message(std::string_view tag, std::string_view format, std::initializer_list<log_arg> args = {});

// The tag of engine messages; the geometry lines of volume discovery carry
// the file-system name instead.
inline constexpr std::string_view recovery_tag = "recovery";

// Shorthand for the common case.
inline void log_recovery(std::string_view format, std::initializer_list<log_arg> args = {}) {
    log_message(recovery_tag, format, args);
}

}  // namespace ostrel
