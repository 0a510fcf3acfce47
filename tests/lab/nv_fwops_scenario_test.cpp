// The registry's NV-backed operations against a lab adapter.
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "app/qsupdate/nv_fw_status.h"
#include "app/qsupdate/nv_fwops.h"
#include "app/qsupdate/registry.h"
#include "lab/model/lab_image.h"
#include "tests/lab/support/nv_run.h"
#include "tests/unit/support/der_writer.h"

namespace {

constexpr uint32_t P = 0x4000; // controller firmware partition
const firmware_ops &MCFW = mc_dogwood2_ops[0], &BOOTROM = gpxe_ops[5], &CPLD = cpld_ops[0], &KVE = fc_ops[0];

// A Dogwood2 with timeless flash, its controller firmware (MCDI only) and boot ROM erased, and CPLD and KVE rows.
lab::LabState host(lab::HostKind kind = lab::HostKind::linux_host)
{
    lab::LabState state = lab_host(kind, {{"dogwood2", 2}});
    state.adapters[0].partitions.push_back(partition("a1-cpld-01", 8, 1, 0x1000, 0x1000));
    state.adapters[0].partitions.push_back(partition("a1-fcfw-01", 7, 1, 0x1000, 0x1000));
    for (lab::Partition &p : state.adapters[0].partitions)
        p.erase_block_us = p.write_byte_ns = p.read_byte_ns = 0;
    lab::Partition &mcfw = partition_of(state, "a1-mcfw-25");
    mcfw.size = P, mcfw.erase_size = 0x1000, mcfw.mtd_all_ports = false, mcfw.initial_contents.clear();
    partition_of(state, "a1-bootrom-07").initial_contents.clear();
    return state;
}

Bytes plain(uint32_t type, uint32_t subtype, size_t code_size)
{
    return lab::build_plain_image({type, subtype, {1, 2, 3, 4}, {}, code_size});
}

// The file parsed as qsupdate parses it, on the heap as its owner frees it.
struct Image {
    qsupdate_image_t *im = static_cast<qsupdate_image_t *>(std::calloc(1, sizeof(qsupdate_image_t)));
    explicit Image(const Bytes &file)
    {
        auto *buf = static_cast<uint8_t *>(std::malloc(file.size()));
        std::memcpy(buf, file.data(), file.size());
        testing::internal::CaptureStdout();
        const int rc = file[0] == 0x55 ? init_ipxe_image_from_buffer(buf, file.size(), im)
                                       : init_image_from_buffer(buf, file.size(), im);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0);
        if (rc != 0)
            im->raw_image = buf;
    }
    ~Image() { qsupdate_image_free(im); }
};

// Signed controller firmware laid out from the envelope's spans, as the adapter keeps it in the partition: each
// piece behind a chunk header that finds the next, and the last 32 bytes lead to the first.
Bytes signed_layout(const Bytes &env, const qsupdate_image_t &im)
{
    const auto L = uint32_t(im.image_code_len), H = uint32_t(im.cms_header_len), R = 40u, T = 4u,
               S = uint32_t(im.signature_len);
    auto span = [&](size_t from, size_t n) { return Bytes(env.begin() + from, env.begin() + from + n); };
    auto header = [](uint32_t id, uint32_t offset, uint32_t len) {
        return le_words({0xBD205161, 1, id, offset, len, 0, 0, 0});
    };
    Bytes out;
    for (const Bytes &piece : {span(H + R, L), header(3, L + 96 + H + R, T), span(0, H), header(1, L + 64 + H, R),
                               span(H, R), header(2, 0, L), span(H + R + L, T), header(4, L + 128 + H + R + T, S),
                               span(env.size() - S, S)})
        out.insert(out.end(), piece.begin(), piece.end());
    out.resize(P - 32, 0xFF);
    const Bytes last = header(0, L + 32, H);
    out.insert(out.end(), last.begin(), last.end());
    return out;
}

// What the operations report, not the NV backend's own progress.
Strings progress_seen;
void record_progress(const char *status, int pc)
{
    if (std::strcmp(status, "Erasing") && std::strcmp(status, "Writing") && std::strcmp(status, "Validating"))
        progress_seen.push_back(std::string(status) + " " + std::to_string(pc));
}

// The write's result, errno, standard error and virtual time slept.
using Outcome = std::tuple<long, int, std::string, uint64_t>;
Outcome write(NvRun &run, const firmware_ops &row, const Bytes &file, int port = 0)
{
    Image image(file);
    void *handle = row.open(&row, run.port(port));
    EXPECT_NE(handle, nullptr) << strerror(errno);
    progress_seen.clear();
    const uint64_t start = run.lab().events().now_us();
    const auto [rc, err, message] =
        attempt([&] { return handle ? row.write_image(handle, image.im, true, record_progress) : -2; });
    const uint64_t slept = run.lab().events().now_us() - start;
    if (handle)
        row.close(handle);
    return {rc, err, message, slept};
}

} // namespace

// Each kind of image is laid out as the adapter takes it, or refused unwritten, and reads back as a plain image.
TEST(NvFwOps, WritesLayOutEachKindOfImageAndReadItBack)
{
    const Bytes mcfw_env = der::signed_envelope(plain(3, 37, 8000));
    const size_t overhead = mcfw_env.size() - 8000 + 160; // all but the code, and five chunk headers
    const Bytes filling = der::signed_envelope(plain(3, 37, P - overhead)),
                too_large = der::signed_envelope(plain(3, 37, P - overhead + 1)),
                bootrom_env = der::signed_envelope(plain(2, 7, 3000)), mcfw_plain = plain(3, 37, 5000),
                ipxe = lab::build_ipxe_image(4096), kve = plain(7, 1, 300);
    ASSERT_EQ(filling.size() + 160, P);
    const std::string finish = "MCDI update finish 0x100: ";
    struct Case {
        const char *name; const firmware_ops &row; const Bytes &file; const char *id; int err; Strings verdict;
    } cases[] = {
        {"signed controller firmware", MCFW, mcfw_env, "a1-mcfw-25", 0, {finish + "signed image accepted (1)"}},
        {"signed and filling the partition", MCFW, filling, "a1-mcfw-25", 0, {finish + "signed image accepted (1)"}},
        {"signed and a byte too large", MCFW, too_large, "a1-mcfw-25", EINVAL, {}},
        {"signed boot ROM", BOOTROM, bootrom_env, "a1-bootrom-07", 0, {}},
        {"plain controller firmware", MCFW, mcfw_plain, "a1-mcfw-25", 0, {finish + "unsigned image accepted"}},
        {"iPXE boot ROM", BOOTROM, ipxe, "a1-bootrom-07", 0, {}},
        {"KVE", KVE, kve, "a1-fcfw-01", 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NvRun run(host());
        const Bytes before = run.file(c.id);
        Outcome o = write(run, c.row, c.file);
        std::get<3>(o) = 0; // the controller's settling is the follow-ups' business
        EXPECT_EQ(o, Outcome(c.err ? -1 : 0, c.err, "", 0));
        Image image(c.file);
        Bytes expected = c.file[0] == 0x55 || image.im->format == IMAGE_FORMAT_SIGNED
                             ? c.file
                             : Bytes(image.im->image_code, image.im->image_code + image.im->image_code_len);
        expected.resize(before.size(), 0xFF);
        if (&c.row == &MCFW && image.im->format == IMAGE_FORMAT_SIGNED)
            expected = signed_layout(c.file, *image.im);
        EXPECT_EQ(run.file(c.id), c.err ? before : expected);
        EXPECT_EQ(partition_of(run.lab().state(), c.id).last_run.writes == 0, c.err != 0);
        void *handle = c.row.open(&c.row, run.port(0));
        const uint64_t start = run.lab().events().now_us();
        qsupdate_image_t *im = c.row.read_image(handle, nullptr);
        EXPECT_EQ(run.lab().events().now_us() - start, &c.row == &KVE ? 5000000u : 0u);
        EXPECT_TRUE(version_is_null(c.row.get_version(handle, nullptr))); // a board without a configuration
        c.row.close(handle);
        ASSERT_NE(im, nullptr);
        const Bytes now = run.file(c.id);
        Bytes read = le_words({0x0106F1A5, 4, c.row.type, c.row.subtype, uint32_t(now.size()), 40, 0, 0, 0, 0});
        read.insert(read.end(), now.begin(), now.end());
        EXPECT_EQ(Bytes(im->raw_image, im->raw_image + im->raw_image_len - 4), read);
        EXPECT_EQ(std::pair(im->format, im->image_code_len), std::pair(IMAGE_FORMAT_UNSIGNED, now.size()));
        qsupdate_image_free(im);
        EXPECT_EQ(logged(run.lab(), finish), c.verdict);
    }
}

// The status record after a controller firmware write: short counts as zeros, unreadable fails, other kinds unjudged.
TEST(NvFwOps, StatusPartitionGivesTheAdaptersVerdict)
{
    const uint32_t MAGIC = 0xBD2057A7;
    const std::string signed_only = "ERROR: Adapter may require a signed update. Please check that a signed image is\n"
                                    "being used.\n";
    struct Case {
        const char *name; Bytes record; // empty: no status partition
        uint32_t size = 0x1000; nlohmann::json faults = nlohmann::json::array(); int port = 1, err = 0;
        std::string message = ""; const firmware_ops &row = MCFW;
    } cases[] = {
        {"no status partition", {}},
        {"no error", le_words({MAGIC, 20, 0, 1, 1})},
        {"refused unsigned", le_words({MAGIC, 20, EPERM, 0, 1}), 0x1000, {}, 1, EPERM, signed_only},
        {"other error", le_words({MAGIC, 20, EIO, 0, 0}), 0x1000, {}, 1, EIO,
         "eth0: An error occurred when finishing the update\n"},
        {"verification failed", le_words({MAGIC, 20, 0, 7, 0}), 0x1000, {}, 0, EINVAL,
         "ERROR: The adapter rejected the image because no valid signatures were found\n"},
        {"8-byte partition", le_words({MAGIC, 20}), 8},
        {"length 12", le_words({MAGIC, 12, EPERM, 7, 0})},
        {"length 13", le_words({MAGIC, 13, EPERM, 7, 0}), 0x1000, {}, 1, EPERM, signed_only},
        {"no magic", le_words({MAGIC + 1, 20, EPERM, 7, 0})},
        {"unreadable", le_words({MAGIC, 20, EPERM, 7, 0}), 0x1000, {fault("a1-status-00", "read")}, 1,
         EIO, "eth0: Could not read status from status partition\n"},
        {"cannot be opened", le_words({MAGIC, 20, 0, 0, 0}), 0x1000, // its MTD device's second open: the first looks
         {fault("/dev/mtd7", "open", "", "EACCES", {{"occurrence", 2}})}, 1, EACCES,
         "eth0: Could not open status partition for reading\n"},
        {"not for this port", le_words({MAGIC, 20, EPERM, 7, 0}), 0x1000,
         {fault("a1-status-00", "read", "", "EINVAL")}},
        {"an earlier refusal, another kind", le_words({MAGIC, 20, EPERM, 0, 1}), 0x1000, {}, 1, 0, "", BOOTROM},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = host();
        lab::Partition &status = partition_of(state, "a1-status-00");
        status.initial_contents = c.record;
        status.size = c.size, status.erase_size = c.size < 0x1000 ? 1 : 0x1000;
        status.mcdi_type = 0xFFFFFFFF; // eth0's MTD device alone shows it
        if (c.record.empty())
            std::erase_if(state.adapters[0].partitions, [](const lab::Partition &p) { return p.kind == 13; });
        state.host.modules_loaded.push_back("mtdchar"); // no open waits for the module
        NvRun run(state, c.faults);
        if (&c.row != &MCFW) {
            EXPECT_EQ(std::get<0>(write(run, c.row, plain(c.row.type, c.row.subtype, 100), c.port)), 0);
            continue;
        }
        void *handle = c.row.open(&c.row, run.port(c.port));
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(attempt([&] { return nv_fw_check_status(static_cast<nv_fw_context *>(handle)); }),
                  Attempt(c.err ? -1 : 0, c.err, c.message));
        c.row.close(handle);
    }
}

// Follow-ups run in order; one the driver lacks leaves advice and the write done, any other failure fails it.
TEST(NvFwOps, FollowUpsRunInOrderAndSayWhatIsLeftToDo)
{
    using lab::HostKind;
    const std::string cpld = "CPLD programming through eth0 (update 0x00000000)",
                      ethtool = "ethtool reset of eth0 (flags 0xffffffff)",
                      fallback = "controller reset through eth0 (flags 0xffffffff)",
                      reset_left = "eth0: adapter is still running the old firmware version.\n"
                                   "To complete this firmware upgrade, you must power-off and then power-on the\n"
                                   "system or the network adapter.\n";
    const Strings reset = {"Complete 100", "Resetting adapter 0"}, kve = {"Complete 100", "Resetting KVE 0"};
    auto no_ethtool = [](const char *err) {
        return "fault injected: ioctl ETHTOOL_RESET of eth0 (occurrence 1) failed with " + std::string(err);
    };
    auto refused = [](const char *cmd, const char *err, const char *port = "eth0") {
        return "fault injected: command " + std::string(cmd) + " of " + port + " (occurrence 1) failed with " + err;
    };
    auto ethtool_fails = [](const char *err) { return nlohmann::json{fault("eth0", "ioctl", "ETHTOOL_RESET", err)}; };
    struct Case {
        const char *name; const firmware_ops &row; nlohmann::json faults; int err; Strings progress, events;
        uint64_t slept_us = 0; std::string message = ""; HostKind kind = HostKind::linux_host;
    } cases[] = {
        {"CPLD, then reset", CPLD, {}, 0,
         {"Complete 100", "Programming CPLD 0", "Programming CPLD 100", "Complete 100", "Resetting adapter 0"},
         {cpld, ethtool}, 1010000},
        {"CPLD unsupported", CPLD, {fault("eth0", "command", "0xEF1E", "EOPNOTSUPP")}, 0,
         {"Complete 100", "Programming CPLD 0", "Complete 100", "Resetting adapter 0"},
         {refused("0xEF1E", "EOPNOTSUPP"), ethtool}, 1000000,
         "eth0: CPLD not updated - operation unsupported by this OS\n"},
        {"CPLD failing", CPLD, {fault("eth0", "command", "0xEF1E", "EIO")}, EIO, {"Complete 100", "Programming CPLD 0"},
         {refused("0xEF1E", "EIO")}, 1000000},
        {"KVE", KVE, {}, 0, kve, {"KVE reset through eth0 (flags 0x00000000)"}, 5000000},
        {"KVE unsupported", KVE, {fault("eth0", "command", "0xEF20", "EOPNOTSUPP")}, 0, kve,
         {refused("0xEF20", "EOPNOTSUPP")}, 5000000,
         "eth0: KVE is still running the old firmware version.\n"
         "To complete this firmware upgrade, you must reload the KVE.\n"},
        {"KVE failing", KVE, {fault("eth0", "command", "0xEF20", "ENODEV")}, ENODEV, kve, {refused("0xEF20", "ENODEV")},
         5000000},
        {"no ethtool reset", MCFW, ethtool_fails("EOPNOTSUPP"), 0, reset, {no_ethtool("EOPNOTSUPP"), fallback}},
        {"ethtool reset not implemented", MCFW, ethtool_fails("ENOSYS"), 0, reset, {no_ethtool("ENOSYS"), fallback}},
        {"ethtool reset without device", MCFW, ethtool_fails("ENODEV"), 0, reset, {no_ethtool("ENODEV"), fallback}},
        {"ethtool reset failing", MCFW, ethtool_fails("EIO"), EIO, reset, {no_ethtool("EIO")}},
        {"no reset at all", MCFW,
         {fault("eth0", "ioctl", "ETHTOOL_RESET", "EOPNOTSUPP"), fault("eth0", "command", "0xEF0D", "EOPNOTSUPP")}, 0,
         reset, {no_ethtool("EOPNOTSUPP"), refused("0xEF0D", "EOPNOTSUPP")}, 0, reset_left},
        {"private reset failing", MCFW,
         {fault("eth0", "ioctl", "ETHTOOL_RESET", "ENOSYS"), fault("eth0", "command", "0xEF0D", "EPERM")}, EPERM, reset,
         {no_ethtool("ENOSYS"), refused("0xEF0D", "EPERM")}},
        {"ESXi unsupported", MCFW, {fault("vmnic1", "command", "0xEF0D", "EOPNOTSUPP")}, 0, reset,
         {refused("0xEF0D", "EOPNOTSUPP", "vmnic1")}, 0, "vmnic1" + reset_left.substr(4), HostKind::esxi},
        {"nothing to follow", BOOTROM, {}, 0, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = host(c.kind);
        partition_of(state, "a1-mcfw-25").mtd_all_ports = true; // the sleeps are the follow-ups' alone
        NvRun run(state, c.faults);
        EXPECT_EQ(write(run, c.row, plain(c.row.type, c.row.subtype, 100)),
                  Outcome(c.err ? -1 : 0, c.err, c.message, c.slept_us));
        EXPECT_EQ(progress_seen, c.progress);
        // Neither a write nor a reset, even a failed one, leaves what "/proc/mtd" said remembered.
        const unsigned long opens = run.lab().calls().opens;
        EXPECT_TRUE(nv_exists(run.port(0), NV_PART_STATUS, 0));
        EXPECT_EQ(run.lab().calls().opens, opens + 1);
        EXPECT_EQ(logged(run.lab(), {"reset", "CPLD", "KVE", "fault injected"}), c.events);
    }
}
