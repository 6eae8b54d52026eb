#pragma once
// Reading what a load generator (wrk --latency, ab) prints: the text after a
// label, sizes with binary prefixes and times with their units.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

namespace bench {

// The text after label on the first line that starts (blanks aside) with it.
inline std::optional<std::string> After(const std::string& output, const std::string& label)
{
    std::stringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, label.size(), label) == 0)
            return line.substr(start + label.size());
    }
    return std::nullopt;
}

// A number and its unit: "12.5MB" and the like (powers of 1024), or a time
// such as "850.00us", "3.2ms", "1.01s" (ab's bare numbers are ms).
inline double NumberWithUnit(const std::string& text, std::string& unit)
{
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    unit = end;
    unit.erase(0, unit.find_first_not_of(' '));
    unit.erase(unit.find_last_not_of(" \r") + 1);
    return value;
}

inline double BinarySize(const std::string& text)
{
    std::string unit;
    double value = NumberWithUnit(text, unit);
    const std::string prefixes = "KMGT";
    std::size_t power = unit.empty() ? std::string::npos : prefixes.find(unit[0]);
    for (std::size_t i = 0; power != std::string::npos && i <= power; ++i)
        value *= 1024;
    return value;
}

inline double Milliseconds(const std::string& text)
{
    std::string unit;
    double value = NumberWithUnit(text, unit);
    if (unit == "us")
        return value / 1000;
    if (unit == "s")
        return value * 1000;
    if (unit == "m")
        return value * 60000;
    return value;
}

// What wrk counts as failed: replies that were not 2xx or 3xx, and the
// socket errors ("connect 0, read 0, write 0, timeout 0").
inline long long WrkErrors(const std::string& output)
{
    long long errors = 0;
    if (std::optional<std::string> bad = After(output, "Non-2xx or 3xx responses:"))
        errors += std::atoll(bad->c_str());
    if (std::optional<std::string> socket = After(output, "Socket errors:")) {
        std::stringstream counts(*socket);
        for (std::string word; counts >> word;)
            if (std::isdigit(static_cast<unsigned char>(word[0])))
                errors += std::atoll(word.c_str());
    }
    return errors;
}

// The machine's one-minute load average, or -1 when it cannot be read: a
// figure taken while other work ran is read beside it.
inline double LoadAverage()
{
    std::FILE* file = std::fopen("/proc/loadavg", "r");
    if (!file)
        return -1;
    double load = -1;
    if (std::fscanf(file, "%lf", &load) != 1)
        load = -1;
    std::fclose(file);
    return load;
}

} // namespace bench
