#include "lab/qslab/lab_show_events.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <regex>

namespace lab {

namespace {

// One query line: its command, how many commands it stands for, and the
// error of a refused one.
struct Query {
    std::string name;
    unsigned commands = 1;
    std::string error;
};

std::optional<Query> query(const std::string &event)
{
    static const std::regex form(R"(MCDI (information|metadata|board configuration)( 0x[0-9a-f]+)?)"
                                 R"((: ([A-Z0-9]+) \(.*?\))?( \((\d+) commands\))?)");
    std::smatch m;
    if (!std::regex_match(event, m, form))
        return std::nullopt;
    return Query{m[1], m[6].matched ? static_cast<unsigned>(std::stoul(m[6])) : 1u, m[4]};
}

// One erase or write of a partition's range.
struct FlashRange {
    std::string head, suffix; // "flash a1-mcfw-25: erase", ", in place"
    uint64_t first, last, amount;
    std::string unit; // "block" or "byte"
};

std::optional<FlashRange> flash_range(const std::string &event)
{
    static const std::regex form(
        R"((flash \S+: (?:erase|write)) 0x([0-9a-f]+)-0x([0-9a-f]+) \((\d+) (block|byte)s?(.*)\))");
    std::smatch m;
    if (!std::regex_match(event, m, form))
        return std::nullopt;
    return FlashRange{m[1], m[6], std::stoull(m[2], nullptr, 16), std::stoull(m[3], nullptr, 16),
                      std::stoull(m[4]), m[5]};
}

std::string counted(uint64_t n, const std::string &unit)
{
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

std::string range_text(const FlashRange &r)
{
    char range[48];
    std::snprintf(range, sizeof range, "0x%" PRIx64 "-0x%" PRIx64, r.first, r.last);
    return r.head + " " + range + " (" + counted(r.amount, r.unit) + r.suffix + ")";
}

// Per command in order of first appearance: commands, refusals, errors.
struct Tally {
    std::string name;
    unsigned commands = 0, refused = 0;
    std::vector<std::string> errors;
};

std::string tally_text(const std::vector<Tally> &tallies)
{
    std::string text = "MCDI ";
    for (const Tally &t : tallies) {
        text += (&t == &tallies.front() ? "" : ", ") + t.name + " (" + counted(t.commands, "command");
        if (t.refused) {
            text += ", " + std::to_string(t.refused) + " refused with ";
            for (const std::string &e : t.errors)
                text += (&e == &t.errors.front() ? "" : " or ") + e;
        }
        text += ")";
    }
    return text;
}

// "[1.5 s] " and what follows it.
size_t event_at(const std::string &line)
{
    const size_t mark = line.find("] ");
    return mark == std::string::npos ? 0 : mark + 2;
}

} // namespace

std::vector<std::string> condensed_events(const std::vector<std::string> &lines)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < lines.size();) {
        const std::string stamp = lines[i].substr(0, event_at(lines[i]));
        auto event = [&](size_t k) { return lines[k].substr(event_at(lines[k])); };
        size_t j = i + 1;
        if (query(event(i))) {
            std::vector<Tally> tallies;
            std::optional<Query> next;
            for (j = i; j < lines.size() && (next = query(event(j))); ++j) {
                auto t = std::find_if(tallies.begin(), tallies.end(),
                                      [&](const Tally &x) { return x.name == next->name; });
                if (t == tallies.end())
                    t = tallies.insert(tallies.end(), Tally{next->name, 0, 0, {}});
                t->commands += next->commands;
                if (!next->error.empty()) {
                    t->refused += next->commands;
                    if (std::find(t->errors.begin(), t->errors.end(), next->error) == t->errors.end())
                        t->errors.push_back(next->error);
                }
            }
            out.push_back(j - i > 1 ? stamp + tally_text(tallies) : lines[i]);
        } else if (std::optional<FlashRange> r = flash_range(event(i))) {
            for (std::optional<FlashRange> next; j < lines.size() && (next = flash_range(event(j))) &&
                                                 next->head == r->head && next->suffix == r->suffix &&
                                                 next->first == r->last + 1;
                 ++j) {
                r->last = next->last;
                r->amount += next->amount;
            }
            out.push_back(j - i > 1 ? stamp + range_text(*r) : lines[i]);
        } else {
            out.push_back(lines[i]);
        }
        i = j;
    }
    return out;
}

} // namespace lab
