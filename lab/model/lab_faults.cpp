#include "lab/model/lab_faults.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include "lab/model/lab_events.h"
#include "lab/wire/lab_mtd_wire.h"
#include "lab/wire/lab_wire.h"

namespace lab {

using nlohmann::json;

namespace {

const char *const OPERATIONS[] = {"open",    "read", "write", "erase", "ioctl", "lock",
                                  "command", "run",  "mcdi",  "socket", "fsync", "lseek"};

struct Named {
    const char *name;
    unsigned long value;
};

const Named ERRNOS[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},   {"EINTR", EINTR},         {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EBADF", EBADF},     {"EAGAIN", EAGAIN},       {"ENOMEM", ENOMEM},
    {"EACCES", EACCES}, {"EFAULT", EFAULT},   {"EBUSY", EBUSY},         {"ENODEV", ENODEV},
    {"EINVAL", EINVAL}, {"ENOTTY", ENOTTY},   {"EFBIG", EFBIG},         {"ENOSPC", ENOSPC},
    {"EROFS", EROFS},   {"ENOSYS", ENOSYS},   {"EOPNOTSUPP", EOPNOTSUPP}, {"ETIMEDOUT", ETIMEDOUT},
    {"EMSGSIZE", EMSGSIZE}, {"EPROTO", EPROTO}, {"EBADMSG", EBADMSG},   {"ENODATA", ENODATA},
    {"ENOLCK", ENOLCK},
};

const Named REQUESTS[] = {
    {"SIOCETHTOOL", SIOCETHTOOL},     {"SIOCGIFHWADDR", SIOCGIFHWADDR},
    {"SIOCGIFFLAGS", SIOCGIFFLAGS},   {"SIOCSIFFLAGS", SIOCSIFFLAGS},
    {"SIOCKPX", wire::SIOCKPX},       {"MEMERASE", MTD_MEMERASE},
    {"ETHTOOL_GDRVINFO", ethtool_request(ETHTOOL_GDRVINFO)},
    {"ETHTOOL_RESET", ethtool_request(ETHTOOL_RESET)},
};

bool request_matches(const std::optional<unsigned long> &wanted, const std::optional<unsigned long> &made)
{
    if (!wanted)
        return true;
    if (!made)
        return false;
    return *wanted == *made || (*wanted == SIOCETHTOOL && (*made >> 16) == SIOCETHTOOL);
}

unsigned long parse_named(const std::string &text, const Named *table, size_t n, const char *what)
{
    for (size_t i = 0; i < n; ++i)
        if (text == table[i].name)
            return table[i].value;
    size_t end = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &end, 0);
    } catch (const std::exception &) {
        end = 0;
    }
    if (text.empty() || end != text.size())
        throw std::runtime_error(std::string("lab.json: unknown ") + what + " \"" + text + "\" in faults");
    return value;
}

std::string text_of(const json &v)
{
    return v.is_string() ? v.get<std::string>() : std::to_string(v.get<long long>());
}

Fault fault_from_json(const json &j)
{
    Fault f;
    f.target = j.at("target").get<std::string>();
    f.operation = j.at("operation").get<std::string>();
    if (std::find_if(std::begin(OPERATIONS), std::end(OPERATIONS),
                     [&](const char *op) { return f.operation == op; }) == std::end(OPERATIONS))
        throw std::runtime_error("lab.json: unknown fault operation \"" + f.operation +
                                 "\" (open, read, write, erase, ioctl, lock, command, run or mcdi)");
    if (j.contains("request"))
        f.request = text_of(j.at("request"));
    const json &occurrence = j.value("occurrence", json("every"));
    if (occurrence.is_string() && occurrence.get<std::string>() == "every")
        f.occurrence = 0;
    else if (occurrence.is_number_integer() && occurrence.get<long long>() > 0 &&
             occurrence.get<long long>() <= 0xFFFFFFFFll)
        f.occurrence = occurrence.get<unsigned>();
    else
        throw std::runtime_error("lab.json: a fault's occurrence is a number from 1, or \"every\"");
    if (j.contains("errno") + j.contains("write_cut_after") + j.contains("silent") + j.contains("answer_cut_after") != 1)
        throw std::runtime_error("lab.json: a fault has one of errno, write_cut_after, answer_cut_after and silent");
    if (j.contains("power_cut") && !j.contains("write_cut_after"))
        throw std::runtime_error("lab.json: a power cut comes with write_cut_after");
    if (j.contains("write_cut_after")) {
        if (f.operation != "write")
            throw std::runtime_error("lab.json: only writes are cut short");
        f.write_cut_after = j.at("write_cut_after").get<size_t>();
        f.power_cut = j.value("power_cut", false);
    } else if (j.contains("silent")) {
        const std::string how = text_of(j.at("silent"));
        if (f.operation != "write")
            throw std::runtime_error("lab.json: only writes fail silently");
        if (how != "drop" && how != "stuck-byte")
            throw std::runtime_error("lab.json: a silent fault is \"drop\" or \"stuck-byte\"");
        f.silent = how == "drop" ? Fault::Silent::drop : Fault::Silent::stuck_byte;
    } else if (j.contains("answer_cut_after")) {
        if (f.operation != "mcdi")
            throw std::runtime_error("lab.json: only controller answers are cut short by answer_cut_after");
        f.answer_cut_after = j.at("answer_cut_after").get<size_t>();
    } else {
        f.error = static_cast<int>(parse_named(text_of(j.at("errno")), ERRNOS, std::size(ERRNOS), "errno"));
        if (f.error <= 0)
            throw std::runtime_error("lab.json: a fault's errno is positive");
    }
    return f;
}

} // namespace

std::string errno_name(int error)
{
    for (const Named &n : ERRNOS)
        if (n.value == static_cast<unsigned long>(error))
            return n.name;
    return std::to_string(error);
}

std::string fault_effect(const Fault &f, bool done)
{
    if (f.write_cut_after)
        return "cut short after " + std::to_string(*f.write_cut_after) + " bytes" +
               (f.power_cut ? (done ? ", then the power failed" : ", then the power fails") : "");
    if (f.answer_cut_after)
        return (done ? "answered with " : "answers with ") + std::to_string(*f.answer_cut_after) + " bytes at most";
    if (f.silent == Fault::Silent::drop)
        return done ? "reported success, stored nothing" : "reports success, stores nothing";
    if (f.silent == Fault::Silent::stuck_byte)
        return done ? "reported success, one byte kept its old value"
                    : "reports success, one byte keeps its old value";
    return (done ? "failed with " : "fails with ") + errno_name(f.error);
}

namespace {
std::function<void()> power_loss_hook;
}

void set_power_loss_hook(std::function<void()> hook)
{
    power_loss_hook = std::move(hook);
}

void lose_power(EventLog &events)
{
    if (power_loss_hook)
        power_loss_hook();
    events.record("power lost");
    // What was printed reached the terminal before the power went.
    std::fflush(stdout);
    std::fflush(stderr);
    ::kill(::getpid(), SIGKILL);
    std::abort();
}

std::vector<Fault> faults_from_json(const json &j)
{
    std::vector<Fault> faults;
    for (const json &entry : j)
        faults.push_back(fault_from_json(entry));
    return faults;
}

json faults_to_json(const std::vector<Fault> &faults)
{
    json out = json::array();
    for (const Fault &f : faults) {
        json j = {{"target", f.target}, {"operation", f.operation}};
        if (!f.request.empty())
            j["request"] = f.request;
        j["occurrence"] = f.occurrence ? json(f.occurrence) : json("every");
        if (f.write_cut_after) {
            j["write_cut_after"] = *f.write_cut_after;
            if (f.power_cut)
                j["power_cut"] = true;
        } else if (f.answer_cut_after) {
            j["answer_cut_after"] = *f.answer_cut_after;
        } else if (f.silent != Fault::Silent::none) {
            j["silent"] = f.silent == Fault::Silent::drop ? "drop" : "stuck-byte";
        } else {
            j["errno"] = errno_name(f.error);
        }
        out.push_back(j);
    }
    return out;
}

FaultTable::FaultTable(const std::vector<Fault> &faults, EventLog &events) : events_(events)
{
    for (const Fault &f : faults)
        add(f);
}

void FaultTable::add(const Fault &f)
{
    Entry e{f, {f.target}, std::nullopt, 0};
    if (!f.request.empty())
        e.request = parse_named(f.request, REQUESTS, std::size(REQUESTS), "request");
    entries_.push_back(std::move(e));
}

void FaultTable::add_alias(size_t entry, const std::string &resolved)
{
    entries_.at(entry).names.push_back(resolved);
}

const Fault *FaultTable::strike(const FaultSite &site)
{
    if (tracing_)
        trace_.push_back({site.targets.empty() ? std::string() : site.targets.front(), site.operation, site.request,
                          ++traced_per_operation_[site.operation]});
    const Fault *struck = nullptr;
    for (Entry &e : entries_) {
        if (e.fault.operation != site.operation || !request_matches(e.request, site.request))
            continue;
        bool named = e.fault.target == "*" ||
                     std::any_of(site.targets.begin(), site.targets.end(), [&](const std::string &t) {
                         return std::find(e.names.begin(), e.names.end(), t) != e.names.end();
                     });
        if (!named)
            continue;
        ++e.seen;
        if (struck || (e.fault.occurrence && e.fault.occurrence != e.seen))
            continue;
        struck = &e.fault;
        std::string what = site.operation;
        if (!e.fault.request.empty())
            what += " " + e.fault.request;
        std::string target = site.targets.empty() ? e.fault.target : site.targets.front();
        events_.record("fault injected: " + what + " of " + target + " (occurrence " +
                       std::to_string(e.seen) + ") " + fault_effect(e.fault, true));
    }
    return struck;
}

} // namespace lab
