// Option values as hbrun and hbsim take them: names that are not empty, whole
// numbers or finite decimals within a stated range; anything else (nan, inf,
// 1e309, a stray sign or text) is one line naming the option and the range.
#pragma once

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace hb::tools {

// Any text but the empty one (a directory, a device name, a file).
inline CLI::Validator nonEmpty() {
    return CLI::Validator(
        [](std::string& text) {
            return text.empty() ? std::string("'' is empty; give a name") : "";
        },
        "NAME");
}

// Whole numbers from `min` to `max`, written in decimal.
inline CLI::Validator wholeNumberIn(long long min, long long max) {
    const std::string range = std::to_string(min) + " to " + std::to_string(max);
    return CLI::Validator(
        [min, max, range](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            const long long value = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max)
                return "'" + text + "' is not a whole number from " + range;
            return {};
        },
        "INT " + range);
}

// Finite decimals from `min` to `max` (seconds, for instance).
inline CLI::Validator decimalIn(double min, double max) {
    const auto written = [](double value) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.15g", value);
        return std::string(buffer);
    };
    const std::string range = written(min) + " to " + written(max);
    return CLI::Validator(
        [min, max, range](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(value) || value < min || value > max)
                return "'" + text + "' is not a number from " + range;
            return {};
        },
        "NUMBER " + range);
}

} // namespace hb::tools
