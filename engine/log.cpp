#include "engine/log.h"

#include <cstdio>

#include "engine/host_table.h"
#include "platform/wide_text.h"

namespace ostrel {

int64_t log_arg::as_signed() const {
    switch (kind_) {
        case kind::signed_int: return signed_;
        case kind::unsigned_int: return static_cast<int64_t>(unsigned_);
        case kind::real: return static_cast<int64_t>(real_);
        case kind::text: return 0;
    }
    return 0;
}

uint64_t log_arg::as_unsigned() const { return static_cast<uint64_t>(as_signed()); }

double log_arg::as_real() const {
    switch (kind_) {
        case kind::signed_int: return static_cast<double>(signed_);
        case kind::unsigned_int: return static_cast<double>(unsigned_);
        case kind::real: return real_;
        case kind::text: return 0;
    }
    return 0;
}

namespace {

const log_arg* next_arg(std::initializer_list<log_arg> args, size_t& index) {
    if (index >= args.size()) return nullptr;
    return args.begin() + index++;
}

// Formats one conversion. `spec` holds flags, width and precision (no
// length modifier); `conversion` is the final letter.
std::string format_one(const std::string& spec, char conversion, const log_arg* arg) {
    char buffer[128];
    const std::string head = "%" + spec;
    switch (conversion) {
        case 'd':
        case 'i': {
            const long long v = arg ? arg->as_signed() : 0;
            std::snprintf(buffer, sizeof buffer, (head + "lld").c_str(), v);
            return buffer;
        }
        case 'u':
        case 'x':
        case 'X': {
            const unsigned long long v = arg ? arg->as_unsigned() : 0;
            std::snprintf(buffer, sizeof buffer, (head + "ll" + conversion).c_str(), v);
            return buffer;
        }
        case 'f':
        case 'g':
        case 'e': {
            const double v = arg ? arg->as_real() : 0.0;
            std::snprintf(buffer, sizeof buffer, (head + conversion).c_str(), v);
            return buffer;
        }
        case 'c': {
            const char16_t c = arg ? static_cast<char16_t>(arg->as_unsigned()) : u'\0';
            return platform::utf16_to_utf8(std::u16string_view(&c, 1));
        }
        case 's': return arg ? platform::utf16_to_utf8(arg->as_text()) : std::string();
        default: return "%" + spec + conversion;
    }
}

}  // namespace

std::u16string format_message(std::string_view format, std::initializer_list<log_arg> args) {
    std::string out;
    size_t arg_index = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out.push_back(format[i]);
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        size_t j = i + 1;
        std::string spec;
        while (j < format.size() && std::string_view("-+ #0123456789.").find(format[j]) != std::string_view::npos) {
            spec.push_back(format[j++]);
        }
        // Length modifiers: I64, ll, l, h: all arguments are carried 64 bits wide.
        if (format.substr(j, 3) == "I64") {
            j += 3;
        } else {
            while (j < format.size() && (format[j] == 'l' || format[j] == 'h')) ++j;
        }
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        out += format_one(spec, format[j], next_arg(args, arg_index));
        i = j;
    }
    return platform::utf8_to_utf16(out);
}

void log_message(std::string_view tag, std::string_view format, std::initializer_list<log_arg> args) {
    host_callbacks* host = bound_host();
    if (!host || !host->log_line) return;  // nothing is formatted for nobody
    std::u16string line = u"[" + platform::utf8_to_utf16(tag) + u"]\t";
    line += format_message(format, args);
    send_log_line(line.c_str());
}

}  // namespace ostrel
