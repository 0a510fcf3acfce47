#include "lab/controller/lab_mc.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "lab/controller/lab_mc_verdict.h"
#include "lab/flash/lab_run.h"
#include "lab/model/lab_preset_flash.h"
#include "lib/utils/byteorder.h"

namespace lab {

namespace wm = wire::mcdi;

namespace {

// A command the controller refuses: its error goes back in the response.
struct Refusal {
    int rc;
    std::string why;
};

// Birch numbers its partition types up to 17 (the CPLD): its board
// configuration always has room for them all.
constexpr uint32_t BIRCH_HIGHEST_TYPE = 17;

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string bytes_text(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

uint32_t word_at(std::span<const uint8_t> req, size_t offset)
{
    return load_le32(&req[offset]);
}

void need_request(std::span<const uint8_t> req, size_t bytes)
{
    if (req.size() < bytes)
        throw Refusal{EINVAL,
                      std::string("request of ") + bytes_text(req.size()) + ", " + std::to_string(bytes) + " needed"};
}

// The words after the type that a command takes only as these values.
void need_words(std::span<const uint8_t> req, std::initializer_list<uint32_t> words)
{
    size_t at = wm::REQ_TYPE + 4;
    for (uint32_t wanted : words) {
        if (word_at(req, at) != wanted)
            throw Refusal{EINVAL, "word " + std::to_string(at / 4) + " is " + std::to_string(word_at(req, at)) +
                                      ", not " + std::to_string(wanted)};
        at += 4;
    }
}

void need_range(const Partition &p, uint64_t offset, uint64_t length)
{
    if (offset > p.size || length > p.size - offset)
        throw Refusal{EINVAL, hex(offset) + "+" + hex(length) + " is not inside the partition's " + hex(p.size) +
                                  " bytes"};
}

const char *command_name(unsigned cmd)
{
    switch (cmd) {
    case wm::BOARD_CONFIG: return "board configuration";
    case wm::NVRAM_INFO: return "information";
    case wm::NVRAM_UPDATE_START: return "update start";
    case wm::NVRAM_READ: return "read";
    case wm::NVRAM_WRITE: return "write";
    case wm::NVRAM_ERASE: return "erase";
    case wm::NVRAM_UPDATE_FINISH: return "update finish";
    case wm::NVRAM_METADATA: return "metadata";
    default: return nullptr;
    }
}

} // namespace

bool has_management_controller(const Adapter &adapter)
{
    return (adapter.device_id & 0x0F00u) >= 0x0800;
}

ManagementController::ManagementController(LabRun &lab, size_t adapter)
    : lab_(lab), adapter_(adapter), log_(lab.events())
{
}

Adapter &ManagementController::adapter()
{
    return lab_.state().adapters.at(adapter_);
}

unsigned ManagementController::generation()
{
    return adapter().device_id & 0x0F00u;
}

size_t ManagementController::partition_index(uint32_t type)
{
    const std::vector<Partition> &parts = adapter().partitions;
    for (size_t i = 0; i < parts.size(); ++i)
        if (type != NO_MCDI_TYPE && parts[i].mcdi_type == type)
            return i;
    throw Refusal{EINVAL, "no partition of this type"};
}

Flash &ManagementController::flash_of(uint32_t type)
{
    return lab_.flash(adapter_, partition_index(type));
}

void ManagementController::need_update(uint32_t type)
{
    if (!updating_.count(type))
        throw Refusal{EPERM, "no update in progress"};
}

McdiAnswer ManagementController::call(const McdiCall &c)
{
    log_.begin();
    const char *name = command_name(c.cmd);
    std::string head = std::string("MCDI ") + (name ? std::string(name) : std::string("command ") + hex(c.cmd));
    std::span<const uint8_t> req = c.payload.first(std::min(c.request_len, c.payload.size()));
    // A fault may name the partition the command is about or the port it
    // came through.
    std::vector<std::string> targets;
    if (name && c.cmd != wm::BOARD_CONFIG && req.size() >= wm::REQ_TYPE + 4) {
        const uint32_t type = word_at(req, wm::REQ_TYPE);
        head += " ";
        head += hex(type);
        for (const Partition &p : adapter().partitions)
            if (type != NO_MCDI_TYPE && p.mcdi_type == type)
                targets.push_back(p.id);
    }
    targets.push_back(c.ifname);
    ++lab_.calls().mcdi_commands;
    try {
        if (c.request_len > c.payload.size())
            throw Refusal{EINVAL, std::string("request of ") + bytes_text(c.request_len) + " in a payload of " +
                                      std::to_string(c.payload.size())};
        const Fault *fault = lab_.faults().strike({targets, "mcdi", c.cmd});
        if (fault && !fault->answer_cut_after)
            throw Refusal{fault->error, "injected"};
        std::vector<uint8_t> response = answer(c, head, req);
        if (fault)
            response.resize(std::min(response.size(), *fault->answer_cut_after));
        if (response.size() > c.response_room)
            throw Refusal{EMSGSIZE, std::string("response of ") + bytes_text(response.size()) + ", room for " +
                                        std::to_string(c.response_room)};
        if (c.cmd == wm::NVRAM_INFO || c.cmd == wm::NVRAM_METADATA || c.cmd == wm::BOARD_CONFIG)
            log_.command(head);
        return {0, response};
    } catch (const Refusal &r) {
        log_.failure(head, r.rc, r.why);
        return {r.rc, {}};
    }
}

std::vector<uint8_t> ManagementController::answer(const McdiCall &c, const std::string &head,
                                                  std::span<const uint8_t> req)
{
    switch (c.cmd) {
    case wm::BOARD_CONFIG:
        return board_config();
    case wm::NVRAM_INFO:
        need_request(req, wm::REQ_TYPE + 4);
        return information(word_at(req, wm::REQ_TYPE));
    case wm::NVRAM_METADATA:
        // Cedar's controllers were the first to keep partition metadata.
        if (generation() < 0x0900)
            throw Refusal{ENOSYS, "not a command of this controller"};
        need_request(req, wm::REQ_TYPE + 4);
        return metadata(word_at(req, wm::REQ_TYPE));
    case wm::NVRAM_UPDATE_START: {
        need_request(req, wm::UPDATE_START_LEN);
        need_words(req, {1});
        const uint32_t type = word_at(req, wm::REQ_TYPE);
        partition_index(type);
        if (!updating_.insert(type).second)
            throw Refusal{EBUSY, "an update of this type is in progress"};
        log_.command(head);
        return {};
    }
    case wm::NVRAM_READ:
        return read(head, c, req);
    case wm::NVRAM_WRITE:
        write(head, c, req);
        return {};
    case wm::NVRAM_ERASE:
        erase(head, req);
        return {};
    case wm::NVRAM_UPDATE_FINISH:
        need_request(req, wm::UPDATE_FINISH_LEN);
        need_words(req, {0, 1});
        log_.command(head + finish(word_at(req, wm::REQ_TYPE)));
        return {};
    default:
        throw Refusal{ENOSYS, "not a command of this controller"};
    }
}

std::vector<uint8_t> ManagementController::information(uint32_t type)
{
    const Partition &p = adapter().partitions[partition_index(type)];
    std::vector<uint8_t> out(p.mcdi_write_size ? wm::INFO_LEN_WITH_WRITE_SIZE : wm::INFO_LEN, 0);
    store_le32(&out[wm::INFO_TYPE], type);
    store_le32(&out[wm::INFO_SIZE], p.size);
    // An EEPROM needs no erasing: it reports no erase size.
    store_le32(&out[wm::INFO_ERASE_SIZE], p.erase_size == 1 ? 0 : p.erase_size);
    if (p.mcdi_write_size)
        store_le32(&out[wm::INFO_WRITE_SIZE], p.mcdi_write_size);
    return out;
}

std::vector<uint8_t> ManagementController::metadata(uint32_t type)
{
    const Partition &p = adapter().partitions[partition_index(type)];
    if (!p.mcdi_metadata)
        throw Refusal{ENOENT, "no metadata kept for this partition"};
    std::vector<uint8_t> out(wm::METADATA_LEN, 0);
    store_le32(&out[wm::METADATA_TYPE], type);
    store_le32(&out[wm::METADATA_SUBTYPE], p.subtype);
    return out;
}

std::vector<uint8_t> ManagementController::board_config()
{
    // Only Birch's controllers give the subtypes in their board
    // configuration; later ones keep them as partition metadata.
    if (generation() != 0x0800)
        throw Refusal{ENOSYS, "not a command of this controller"};
    auto fits = [](uint32_t type) {
        return type != NO_MCDI_TYPE && wm::BOARD_CONFIG_SUBTYPES + 2 * (uint64_t{type} + 1) <= wm::PAYLOAD_V1;
    };
    uint32_t highest = BIRCH_HIGHEST_TYPE;
    for (const Partition &p : adapter().partitions)
        if (fits(p.mcdi_type))
            highest = std::max(highest, p.mcdi_type);
    std::vector<uint8_t> out(wm::BOARD_CONFIG_SUBTYPES + 2 * (highest + 1), 0);
    for (const Partition &p : adapter().partitions)
        if (fits(p.mcdi_type))
            store_le16(&out[wm::BOARD_CONFIG_SUBTYPES + 2 * p.mcdi_type], static_cast<uint16_t>(p.subtype));
    return out;
}

std::vector<uint8_t> ManagementController::read(const std::string &head, const McdiCall &c,
                                                std::span<const uint8_t> req)
{
    need_request(req, wm::REQ_LENGTH + 4);
    Flash &flash = flash_of(word_at(req, wm::REQ_TYPE));
    const uint32_t offset = word_at(req, wm::REQ_OFFSET), length = word_at(req, wm::REQ_LENGTH);
    if (length > wm::READ_MAX)
        throw Refusal{EINVAL, bytes_text(length) + ", more than the " + std::to_string(wm::READ_MAX) +
                                  " one read returns"};
    if (length > c.response_room)
        throw Refusal{EMSGSIZE, bytes_text(length) + ", room for " + std::to_string(c.response_room)};
    need_range(flash.partition(), offset, length);
    // A controller may answer with less than was asked.
    std::vector<uint8_t> out(std::min(length, flash.partition().mcdi_read_max));
    if (flash.read(offset, out) < 0)
        throw Refusal{errno, "the flash failed"};
    log_.transfer(head, out.size());
    return out;
}

void ManagementController::write(const std::string &head, const McdiCall &c, std::span<const uint8_t> req)
{
    need_request(req, wm::REQ_WRITE_DATA);
    const uint32_t type = word_at(req, wm::REQ_TYPE);
    Flash &flash = flash_of(type);
    need_update(type);
    const Partition &p = flash.partition();
    const uint32_t offset = word_at(req, wm::REQ_OFFSET), length = word_at(req, wm::REQ_LENGTH);
    // A first-form request has room for 240 bytes; a second-form one for
    // as many as the partition's write size, up to what its payload holds.
    const size_t room = c.form == 1 ? wm::WRITE_MAX_V1
                                    : std::min<size_t>(wm::WRITE_MAX_V2,
                                                       p.mcdi_write_size ? p.mcdi_write_size : wm::WRITE_MAX_V1);
    if (length > room)
        throw Refusal{EINVAL, bytes_text(length) + ", more than the " + std::to_string(room) + " one command writes"};
    if (req.size() - wm::REQ_WRITE_DATA < length)
        throw Refusal{EINVAL, bytes_text(length) + " announced, the request holds " +
                                  std::to_string(req.size() - wm::REQ_WRITE_DATA)};
    need_range(p, offset, length);
    ssize_t put = flash.program(offset, req.subspan(wm::REQ_WRITE_DATA, length), {}, false);
    if (put < 0)
        throw Refusal{errno, "the flash failed"};
    if (static_cast<size_t>(put) != length)
        throw Refusal{EIO, std::string("the flash took ") + std::to_string(put) + " of " + bytes_text(length)};
    log_.transfer(head, length);
}

void ManagementController::erase(const std::string &head, std::span<const uint8_t> req)
{
    need_request(req, wm::REQ_LENGTH + 4);
    const uint32_t type = word_at(req, wm::REQ_TYPE);
    Flash &flash = flash_of(type);
    need_update(type);
    const Partition &p = flash.partition();
    const uint32_t offset = word_at(req, wm::REQ_OFFSET), length = word_at(req, wm::REQ_LENGTH);
    if (p.erase_size == 1) {
        if (offset != 0 || length != p.size)
            throw Refusal{EINVAL, std::string("an EEPROM is erased whole, 0x0+") + hex(p.size)};
    } else if (length == 0 || offset % p.erase_size || length % p.erase_size) {
        throw Refusal{EINVAL, hex(offset) + "+" + hex(length) + " is not in blocks of " + hex(p.erase_size)};
    }
    need_range(p, offset, length);
    if (flash.erase(offset, length, {}, false) != 0)
        throw Refusal{errno, "the flash failed"};
    log_.erase(head, offset, length, p.erase_size);
}

std::string ManagementController::finish(uint32_t type)
{
    const size_t index = partition_index(type);
    need_update(type);
    updating_.erase(type);
    if (adapter().partitions[index].kind != PART_MCFW)
        return "";
    std::string verdict;
    if (int err = mc::judge_written(lab_, adapter_, verdict))
        throw Refusal{err, "the status record could not be written"};
    return ": " + verdict;
}

void ManagementController::serve(const std::string &ifname, wire::McdiRequest &req)
{
    static_assert(offsetof(wire::McdiRequest, payload) == 0);
    uint8_t *payload = reinterpret_cast<uint8_t *>(&req);
    McdiAnswer a = call({req.cmd, 1, {payload, wm::PAYLOAD_V1}, req.len, wm::PAYLOAD_V1, ifname});
    std::copy(a.response.begin(), a.response.end(), payload);
    req.len = static_cast<uint8_t>(a.response.size());
    req.rc = static_cast<uint8_t>(a.rc);
}

void ManagementController::serve(const std::string &ifname, wire::McdiRequest2 &req)
{
    uint8_t *payload = reinterpret_cast<uint8_t *>(&req) + offsetof(wire::McdiRequest2, payload);
    McdiAnswer a = call({le16_to_host(req.cmd), 2, {payload, wm::PAYLOAD_V2}, le16_to_host(req.inlen),
                         std::min<size_t>(le16_to_host(req.outlen), wm::PAYLOAD_V2), ifname});
    std::copy(a.response.begin(), a.response.end(), payload);
    req.outlen = host_to_le16(static_cast<uint16_t>(a.response.size()));
    uint16_t flags = le16_to_host(req.flags);
    req.flags = host_to_le16(a.rc ? flags | wire::MCDI2_FLAG_ERROR : flags & ~wire::MCDI2_FLAG_ERROR);
    req.host_errno = host_to_le32(static_cast<uint32_t>(a.rc));
}

void ManagementController::end_run()
{
    for (uint32_t type : updating_)
        lab_.events().record(std::string("MCDI update ") + hex(type) + " still open at the end of the run");
    updating_.clear();
    log_.end_run();
}

} // namespace lab
