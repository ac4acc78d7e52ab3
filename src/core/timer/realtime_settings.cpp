#include "core/timer/realtime_settings.hpp"

#include <charconv>
#include <string_view>

namespace drovik::timer {

namespace {

rt::Error malformed(std::string_view name, std::string_view value, std::string_view wanted) {
    return rt::Error{rt::ErrorKind::InvalidInput,
                     std::string(name) + "='" + std::string(value) + "' is not " + std::string(wanted)};
}

// Plain decimal digits only: no sign, no spaces, no base prefix.
std::optional<unsigned> whole_number(std::string_view text) {
    unsigned value = 0;
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::optional<int> priority_of(std::string_view text) {
    auto value = whole_number(text);
    if (!value || *value < 1 || *value > 99) return std::nullopt;
    return static_cast<int>(*value);
}

// "2", "2,3", "2-3", "0,2-3": CPU numbers below CPU_SETSIZE, ranges low to high.
std::optional<cpu_set_t> cpus_of(std::string_view text) {
    cpu_set_t set;
    CPU_ZERO(&set);
    while (true) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const auto dash = item.find('-');
        auto low = whole_number(item.substr(0, dash));
        auto high = dash == std::string_view::npos ? low : whole_number(item.substr(dash + 1));
        if (!low || !high || *low > *high || *high >= CPU_SETSIZE) return std::nullopt;
        for (unsigned cpu = *low; cpu <= *high; ++cpu) CPU_SET(cpu, &set);
        if (comma == std::string_view::npos) return set;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace

rt::Result<RealtimeSettings> parse_realtime_settings(const Lookup& lookup) {
    auto value_of = [&](const char* name) -> std::string_view {
        const char* value = lookup(name);
        return value == nullptr ? std::string_view{} : std::string_view(value);
    };
    RealtimeSettings settings;
    if (auto text = value_of("DROVIK_RT_PRIORITY"); !text.empty()) {
        auto priority = priority_of(text);
        if (!priority) return malformed("DROVIK_RT_PRIORITY", text, "a SCHED_FIFO priority from 1 to 99");
        settings.priority = *priority;
    }
    if (auto text = value_of("DROVIK_RT_CPUS"); !text.empty()) {
        auto cpus = cpus_of(text);
        if (!cpus) return malformed("DROVIK_RT_CPUS", text, "a list of CPU numbers such as '2,3' or '2-3'");
        settings.cpus = *cpus;
        settings.cpus_text = std::string(text);
    }
    if (auto text = value_of("DROVIK_RT_MLOCK"); !text.empty()) {
        if (text != "0" && text != "1") return malformed("DROVIK_RT_MLOCK", text, "0 or 1");
        settings.lock_memory = text == "1";
    }
    if (auto text = value_of("DROVIK_TIMER_SPIN"); !text.empty()) {
        if (text != "fixed" && text != "adaptive") return malformed("DROVIK_TIMER_SPIN", text, "'fixed' or 'adaptive'");
        settings.fixed_spin = text == "fixed";
    }
    return settings;
}

}  // namespace drovik::timer
