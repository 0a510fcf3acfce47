// The registry's NV-backed operations against a lab adapter: what lands in
// the partition files, what the adapter's status partition makes of a
// write, and the follow-ups the driver is asked for, compared exactly.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "app/qsupdate/nv_fw_status.h"
#include "app/qsupdate/nv_fwops.h"
#include "app/qsupdate/registry.h"
#include "lab/model/lab_image.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "tests/lab/support/nv_run.h"
#include "tests/unit/support/der_writer.h"

namespace {
#include "tests/fixtures/cms/envelopes.inc"

using Strings = std::vector<std::string>;
constexpr uint32_t P = 0x4000; // controller firmware partition

const firmware_ops &MCFW = mc_dogwood2_ops[0], &BOOTROM = gpxe_ops[5], &CPLD = cpld_ops[0], &KVE = fc_ops[0];

// A Dogwood2 adapter whose flash costs no time, so that the clock shows
// sleeps only; its controller firmware (reached through the controller,
// which judges what is written) and boot ROM start erased, and it has
// partitions for the CPLD and KVE rows.
lab::LabState host(lab::HostKind kind = lab::HostKind::linux_host)
{
    lab::LabState state = lab_host(kind, {{"dogwood2", 2}});
    lab::Partition extra;
    extra.size = extra.erase_size = 0x1000;
    for (auto [id, kind_, subtype] : {std::tuple{"a1-cpld-01", 8u, 1u}, {"a1-fcfw-01", 7u, 1u}}) {
        extra.id = id, extra.kind = kind_, extra.subtype = subtype;
        state.adapters[0].partitions.push_back(extra);
    }
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

// A signing tool's envelope around the image; nothing checks the signature.
Bytes signed_envelope(const Bytes &content)
{
    der::Node info = der::decode(Bytes(std::begin(fixture_signed_attrs_der), std::end(fixture_signed_attrs_der)));
    info.children[1].children[0].children[2].children[1].children[0].value = content;
    return der::encode(info);
}

// The file parsed as qsupdate parses it, on the heap as the record's owner
// releases it.
struct Image {
    qsupdate_image_t *im;
    explicit Image(const Bytes &file)
        : im(static_cast<qsupdate_image_t *>(std::calloc(1, sizeof(qsupdate_image_t))))
    {
        auto *buf = static_cast<uint8_t *>(std::malloc(file.size()));
        std::memcpy(buf, file.data(), file.size());
        testing::internal::CaptureStdout();
        int rc = file[0] == 0x55 ? init_ipxe_image_from_buffer(buf, file.size(), im)
                                 : init_image_from_buffer(buf, file.size(), im);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0);
        if (rc != 0)
            im->raw_image = buf;
    }
    ~Image() { qsupdate_image_free(im); }
};

// The signed layout of a controller firmware in a partition of P bytes,
// built from the envelope's spans: L code, H envelope header, R reflash
// header, T trailer, S signature.
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
    EXPECT_LE(out.size() + 32, P);
    out.resize(P - 32, 0xFF);
    const Bytes last = header(0, L + 32, H);
    out.insert(out.end(), last.begin(), last.end());
    return out;
}

Bytes erased_after(Bytes bytes, size_t size)
{
    bytes.resize(size, 0xFF);
    return bytes;
}

// The device node through which the lab shows the MTD partition.
std::string mtd_node(const lab::LabState &state, const std::string &name)
{
    InProcessLab lab(state);
    std::istringstream in(read_file(lab.lab().dir() + "/root/proc/mtd"));
    for (std::string line; std::getline(in, line);)
        if (line.find('"' + name + '"') != std::string::npos)
            return "/dev/" + line.substr(0, line.find(':'));
    throw std::runtime_error("no MTD device " + name);
}

Strings progress_seen;
// What the operations report; the NV backend's own reports are its business.
void record_progress(const char *status, int pc)
{
    for (const char *backend : {"Erasing", "Writing", "Validating"})
        if (std::strcmp(status, backend) == 0)
            return;
    progress_seen.push_back(std::string(status) + " " + std::to_string(pc));
}

struct Outcome {
    int rc, err;
    std::string stderr_text;
    uint64_t slept_us; // the flash costs no time
};

Outcome write(NvRun &run, const firmware_ops &row, const Bytes &file, int port = 0)
{
    Image image(file);
    void *handle = row.open(&row, run.port(port));
    EXPECT_NE(handle, nullptr) << strerror(errno);
    if (!handle)
        return {-2, errno, "", 0};
    progress_seen.clear();
    testing::internal::CaptureStderr();
    const uint64_t start = run.lab().events().now_us();
    errno = 0;
    Outcome o;
    o.rc = row.write_image(handle, image.im, true, record_progress);
    o.err = o.rc < 0 ? errno : 0;
    o.slept_us = run.lab().events().now_us() - start;
    o.stderr_text = testing::internal::GetCapturedStderr();
    row.close(handle);
    return o;
}

nlohmann::json fault(const std::string &target, const char *operation, const char *request, const char *err)
{
    nlohmann::json f = {{"target", target}, {"operation", operation}, {"errno", err}};
    if (request)
        f["request"] = request;
    return f;
}

} // namespace

// A signed controller firmware becomes chunks in the partition, which the
// controller follows from the last 32 bytes and accepts; one that leaves
// no room for them is refused before anything is written.  A signed image
// of another kind is written as the whole envelope, a plain one as its
// code only, an iPXE image as the file.
TEST(NvFwOps, WritesLayOutEachKindOfImage)
{
    const Bytes mcfw_env = signed_envelope(plain(3, 37, 8000));
    const size_t overhead = mcfw_env.size() - 8000 + 160; // all but the code, and five chunk headers
    const Bytes filling = signed_envelope(plain(3, 37, P - overhead)),
                too_large = signed_envelope(plain(3, 37, P - overhead + 1)),
                bootrom_env = signed_envelope(plain(2, 7, 3000)), mcfw_plain = plain(3, 37, 5000),
                ipxe = lab::build_ipxe_image(4096);
    ASSERT_EQ(filling.size() + 160, P);
    const std::string finish = "MCDI update finish 0x100: ";
    struct Case {
        const char *name;
        const firmware_ops &row;
        const Bytes &file;
        const char *id;
        int err;
        Strings verdict;
    } cases[] = {
        {"signed controller firmware", MCFW, mcfw_env, "a1-mcfw-25", 0, {finish + "signed image accepted (1)"}},
        {"signed and filling the partition", MCFW, filling, "a1-mcfw-25", 0, {finish + "signed image accepted (1)"}},
        {"signed and a byte too large", MCFW, too_large, "a1-mcfw-25", EINVAL, {}},
        {"signed boot ROM", BOOTROM, bootrom_env, "a1-bootrom-07", 0, {}},
        {"plain controller firmware", MCFW, mcfw_plain, "a1-mcfw-25", 0, {finish + "unsigned image accepted"}},
        {"iPXE boot ROM", BOOTROM, ipxe, "a1-bootrom-07", 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NvRun run(host());
        const Bytes before = run.file(c.id);
        Outcome o = write(run, c.row, c.file);
        EXPECT_EQ(o.rc, c.err ? -1 : 0);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.stderr_text, "");
        Image image(c.file);
        Bytes expected = before;
        if (c.err == 0 && &c.row == &MCFW && image.im->format == IMAGE_FORMAT_SIGNED)
            expected = signed_layout(c.file, *image.im);
        else if (c.err == 0)
            expected = erased_after(c.file[0] == 0x55 || image.im->format == IMAGE_FORMAT_SIGNED
                                        ? c.file
                                        : Bytes(image.im->image_code, image.im->image_code + image.im->image_code_len),
                                    before.size());
        EXPECT_EQ(run.file(c.id), expected);
        EXPECT_EQ(partition_of(run.lab().state(), c.id).last_run.writes == 0, c.err != 0);
        EXPECT_EQ(logged(run.lab(), {finish}), c.verdict);
    }
}

// A partition reads back as a plain image of its own: a made-up header
// with the row's type and subtype and version 0.0.0.0, the whole partition
// as code and a checksum that parses; kinds that wait for the platform
// wait five seconds first.
TEST(NvFwOps, ReadsBackThePartitionAndTellsItsVersion)
{
    for (const firmware_ops *row : {&MCFW, &KVE}) {
        SCOPED_TRACE(row->type);
        lab::LabState state = host();
        const char *id = row == &MCFW ? "a1-mcfw-25" : "a1-fcfw-01";
        Bytes contents(partition_of(state, id).size);
        for (size_t i = 0; i < contents.size(); ++i)
            contents[i] = static_cast<uint8_t>(i * 13 + 5);
        partition_of(state, id).initial_contents = contents;
        NvRun run(state);
        // A port carries the kinds whose partition it reaches, and no other.
        const firmware_ops &absent = mc_dogwood2_ops[1];
        EXPECT_TRUE(row->match_device(row, run.port(1)));
        EXPECT_FALSE(absent.match_device(&absent, run.port(1)));
        errno = 0;
        EXPECT_EQ(absent.open(&absent, run.port(1)), nullptr);
        EXPECT_EQ(errno, ENOENT);
        void *handle = row->open(row, run.port(1));
        ASSERT_NE(handle, nullptr);
        const uint64_t start = run.lab().events().now_us();
        qsupdate_image_t *im = row->read_image(handle, nullptr);
        EXPECT_EQ(run.lab().events().now_us() - start, row == &KVE ? 5000000u : 0u);
        row->close(handle);
        ASSERT_NE(im, nullptr);
        const auto size = uint32_t(contents.size());
        EXPECT_EQ(im->format, IMAGE_FORMAT_UNSIGNED);
        EXPECT_EQ(Bytes(im->raw_image, im->raw_image + 40),
                  le_words({0x0106F1A5, 4, row->type, row->subtype, size, 40, 0, 0, 0, 0}));
        EXPECT_EQ(Bytes(im->image_code, im->image_code + im->image_code_len), contents);
        EXPECT_EQ(im->raw_image_len, size + 44u);
        qsupdate_image_free(im);

        // The installed version is the one the configuration records for
        // the type, whatever subtype it was recorded with.
        qsu_group_devices(run.port(0), 2);
        testing::internal::CaptureStdout(); // the erased configuration is rebuilt, and says so
        dynamic_cfg_context *cfg = dynamic_cfg_open(run.port(1), NV_PART_DYNAMIC_CFG);
        testing::internal::GetCapturedStdout();
        ASSERT_NE(cfg, nullptr);
        const firmware_version recorded = {7, 6, 5, uint16_t(row->type)};
        ASSERT_EQ(dynamic_cfg_set_version(cfg, image_type_t(row->type), row->subtype + 1, recorded, true), 0);
        handle = row->open(row, run.port(1));
        const firmware_version got = row->get_version(handle, cfg);
        EXPECT_EQ(std::vector<int>({got.a, got.b, got.c, got.d}), std::vector<int>({7, 6, 5, int(row->type)}));
        // A board without a configuration records nothing.
        EXPECT_TRUE(version_is_null(row->get_version(handle, nullptr)));
        row->close(handle);
        dynamic_cfg_close(cfg);
    }
}

// After a controller-firmware write the adapter's status record is
// consulted, through the port that shows it: a refusal or a failed
// verification fails the write, and says why; a short record counts as
// zeros; a status partition this port cannot read counts for nothing.
// The records are planted and read as the write's last step reads them.
// The controller judges nothing but controller firmware, so the record an
// earlier refusal left decides no other kind's write.
TEST(NvFwOps, StatusPartitionGivesTheAdaptersVerdict)
{
    const uint32_t MAGIC = 0xBD2057A7;
    const std::string signed_only = "ERROR: Adapter may require a signed update. Please check that a signed image is\n"
                                    "being used.\n";
    struct Case {
        const char *name;
        Bytes record; // empty: no status partition
        uint32_t size = 0x1000;
        nlohmann::json faults = nlohmann::json::array();
        int port = 1, err = 0;
        std::string message = "";
        const firmware_ops &row = MCFW;
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
        {"unreadable", le_words({MAGIC, 20, EPERM, 7, 0}), 0x1000,
         {fault("a1-status-00", "read", nullptr, "EIO")}, 1, EIO,
         "eth0: Could not read status from status partition\n"},
        {"cannot be opened", le_words({MAGIC, 20, 0, 0, 0}), 0x1000, {}, 1, EACCES,
         "eth0: Could not open status partition for reading\n"},
        {"not for this port", le_words({MAGIC, 20, EPERM, 7, 0}), 0x1000,
         {fault("a1-status-00", "read", nullptr, "EINVAL")}},
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
        nlohmann::json faults = c.faults;
        state.host.modules_loaded.push_back("mtdchar"); // no open waits for the module
        if (c.name == std::string("cannot be opened")) // the second open: the first only looks
            faults.push_back({{"target", mtd_node(state, "eth0 qsc_status:00")}, {"operation", "open"},
                              {"occurrence", 2}, {"errno", "EACCES"}});
        NvRun run(state, faults);
        if (&c.row != &MCFW) {
            EXPECT_EQ(write(run, c.row, plain(c.row.type, c.row.subtype, 100), c.port).rc, 0);
            continue;
        }
        void *handle = c.row.open(&c.row, run.port(c.port));
        ASSERT_NE(handle, nullptr);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(nv_fw_check_status(static_cast<nv_fw_context *>(handle)), c.err ? -1 : 0);
        EXPECT_EQ(c.err ? errno : 0, c.err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        c.row.close(handle);
    }

    // The lab's controller records its own verdict: an adapter that takes
    // signed controller firmware only refuses a plain one.
    lab::LabState state = host();
    state.adapters[0].requires_signed_mcfw = true;
    NvRun run(state);
    Outcome o = write(run, MCFW, plain(3, 37, 100));
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err, EPERM);
    EXPECT_EQ(o.stderr_text, signed_only);
}

// The follow-ups a row asks for run in order, each after a "Complete";
// one the driver does not support on this system leaves a message and the
// write counted as done; any other failure fails the write.  The
// controller reset goes by ethtool, and by the driver's private command
// when the ethtool one is missing; on ESXi through the control device.
TEST(NvFwOps, FollowUpsRunInOrderAndSayWhatIsLeftToDo)
{
    using lab::HostKind;
    const Strings words = {"reset", "CPLD", "KVE", "fault injected"};
    const std::string cpld = "CPLD programming through eth0 (update 0x00000000)",
                      ethtool = "ethtool reset of eth0 (flags 0xffffffff)",
                      fallback = "controller reset through eth0 (flags 0xffffffff)",
                      kve = "KVE reset through eth0 (flags 0x00000000)",
                      reset_left = "eth0: adapter is still running the old firmware version.\n"
                                   "To complete this firmware upgrade, you must power-off and then power-on the\n"
                                   "system or the network adapter.\n";
    const Strings cpld_then_reset = {"Complete 100", "Programming CPLD 0", "Programming CPLD 100", "Complete 100",
                                     "Resetting adapter 0"},
                  reset = {"Complete 100", "Resetting adapter 0"};
    auto no_ethtool_reset = [](const char *err) {
        return "fault injected: ioctl ETHTOOL_RESET of eth0 (occurrence 1) failed with " + std::string(err);
    };
    auto command_fault = [](const char *cmd, const char *err) {
        return "fault injected: command " + std::string(cmd) + " of eth0 (occurrence 1) failed with " + err;
    };
    struct Case {
        const char *name;
        const firmware_ops &row;
        nlohmann::json faults;
        int err;
        Strings progress, events;
        uint64_t slept_us = 0;
        std::string message = "";
        HostKind kind = HostKind::linux_host;
    } cases[] = {
        {"CPLD, then reset", CPLD, {}, 0, cpld_then_reset, {cpld, ethtool}, 1010000},
        {"CPLD unsupported", CPLD, {fault("eth0", "command", "0xEF1E", "EOPNOTSUPP")}, 0,
         {"Complete 100", "Programming CPLD 0", "Complete 100", "Resetting adapter 0"},
         {command_fault("0xEF1E", "EOPNOTSUPP"), ethtool}, 1000000,
         "eth0: CPLD not updated - operation unsupported by this OS\n"},
        {"CPLD failing", CPLD, {fault("eth0", "command", "0xEF1E", "EIO")}, EIO,
         {"Complete 100", "Programming CPLD 0"},
         {command_fault("0xEF1E", "EIO")}, 1000000},
        {"KVE", KVE, {}, 0, {"Complete 100", "Resetting KVE 0"}, {kve}, 5000000},
        {"KVE unsupported", KVE, {fault("eth0", "command", "0xEF20", "EOPNOTSUPP")}, 0,
         {"Complete 100", "Resetting KVE 0"},
         {command_fault("0xEF20", "EOPNOTSUPP")}, 5000000,
         "eth0: KVE is still running the old firmware version.\n"
         "To complete this firmware upgrade, you must reload the KVE.\n"},
        {"KVE failing", KVE, {fault("eth0", "command", "0xEF20", "ENODEV")}, ENODEV,
         {"Complete 100", "Resetting KVE 0"},
         {command_fault("0xEF20", "ENODEV")}, 5000000},
        {"reset", MCFW, {}, 0, reset, {ethtool}},
        {"no ethtool reset", MCFW, {fault("eth0", "ioctl", "ETHTOOL_RESET", "EOPNOTSUPP")}, 0, reset,
         {no_ethtool_reset("EOPNOTSUPP"), fallback}},
        {"ethtool reset not implemented", MCFW, {fault("eth0", "ioctl", "ETHTOOL_RESET", "ENOSYS")}, 0, reset,
         {no_ethtool_reset("ENOSYS"), fallback}},
        {"ethtool reset without device", MCFW, {fault("eth0", "ioctl", "ETHTOOL_RESET", "ENODEV")}, 0, reset,
         {no_ethtool_reset("ENODEV"), fallback}},
        {"ethtool reset failing", MCFW, {fault("eth0", "ioctl", "ETHTOOL_RESET", "EIO")}, EIO, reset,
         {no_ethtool_reset("EIO")}},
        {"no reset at all", MCFW,
         {fault("eth0", "ioctl", "ETHTOOL_RESET", "EOPNOTSUPP"), fault("eth0", "command", "0xEF0D", "EOPNOTSUPP")},
         0, reset, {no_ethtool_reset("EOPNOTSUPP"), command_fault("0xEF0D", "EOPNOTSUPP")}, 0, reset_left},
        {"private reset failing", MCFW,
         {fault("eth0", "ioctl", "ETHTOOL_RESET", "ENOSYS"), fault("eth0", "command", "0xEF0D", "EPERM")}, EPERM,
         reset, {no_ethtool_reset("ENOSYS"), command_fault("0xEF0D", "EPERM")}},
        {"ESXi", MCFW, {}, 0, reset, {"controller reset through vmnic1 (flags 0xffffffff)"}, 0, "", HostKind::esxi},
        {"ESXi unsupported", MCFW, {fault("vmnic1", "command", "0xEF0D", "EOPNOTSUPP")}, 0, reset,
         {"fault injected: command 0xEF0D of vmnic1 (occurrence 1) failed with EOPNOTSUPP"},
         0, "vmnic1" + reset_left.substr(4), HostKind::esxi},
        {"nothing to follow", BOOTROM, {}, 0, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = host(c.kind);
        partition_of(state, "a1-mcfw-25").mtd_all_ports = true; // the sleeps are the follow-ups' alone
        NvRun run(state, c.faults);
        Outcome o = write(run, c.row, plain(c.row.type, c.row.subtype, 100));
        EXPECT_EQ(o.rc, c.err ? -1 : 0);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.stderr_text, c.message);
        EXPECT_EQ(progress_seen, c.progress);
        EXPECT_EQ(o.slept_us, c.slept_us);
        EXPECT_EQ(logged(run.lab(), words), c.events);
    }
}
