// A witness the lab did not write: in a guest whose mtd0 is the kernel's mtdram (1024 KiB in 64 KiB erase
// blocks), the same seeded random opens, erases, writes, reads, seeks and closes go to the kernel's /dev/mtd0,
// /dev/mtd0ro and /dev/mtdblock0 and to the lab's, and every result, errno and byte read is compared; then
// qsupdate's MTD path runs through the real platform against the kernel's device.
//   kernel_mtd_witness [SEEDS [OPERATIONS]]
// It writes to /dev/mtd0 and replaces the node for a while: a guest only.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

#include "lab/host/lab.h"
#include "lab/host/lab_platform.h"
#include "lab/model/lab_presets.h"
#include "lib/utils/linux/nv_backends.h"

namespace {

constexpr uint32_t SIZE = 1024 * 1024, ERASE = 64 * 1024;
const char *const PATHS[] = {"/dev/mtd0", "/dev/mtd0ro", "/dev/mtdblock0"};
const char *const FLAG_NAMES[] = {"O_RDONLY", "O_WRONLY", "O_RDWR"};
constexpr size_t SLOTS = 4;

unsigned long compared = 0, differences = 0, ram_reads = 0, product_failures = 0;

// What one call gave: its result, errno when it failed, the bytes it read.
struct Outcome {
    long rc = 0;
    int err = 0;
    std::vector<uint8_t> bytes;
};

Outcome outcome(long rc)
{
    return {rc, rc < 0 ? errno : 0, {}};
}

// A read of up to `wanted` bytes.
Outcome read(Platform &platform, int fd, size_t wanted)
{
    std::vector<uint8_t> bytes(wanted);
    Outcome o = outcome(platform.read(fd, bytes.data(), wanted));
    o.bytes.assign(bytes.begin(), bytes.begin() + std::max(o.rc, 0L));
    return o;
}

std::string text(const Outcome &o)
{
    return o.rc < 0 ? "-1 " + std::string(strerrorname_np(o.err) ? strerrorname_np(o.err) : "?")
                    : std::to_string(o.rc);
}

struct Slot {
    int path = -1; // index into PATHS; -1 when free
    int flags = 0;
    int kernel = -1, lab = -1;
    bool block() const { return path == 2; }
};

class Witness {
public:
    Witness(lab::Lab &lab, Platform &emulated) : lab_(lab), emulated_(emulated), tainted_(SIZE) {}

    void run_seed(unsigned seed, unsigned operations)
    {
        rng_.seed(seed);
        seed_ = seed;
        // Each sequence starts from an erased device.
        Slot whole{0, O_RDWR, kernel().open(PATHS[0], O_RDWR), emulated_.open(PATHS[0], O_RDWR)};
        erase(whole, 0, SIZE);
        close(whole);
        for (step_ = 0; step_ < operations; ++step_)
            step();
        for (Slot &s : slots_)
            if (s.path >= 0)
                close(s);
    }

private:
    static Platform &kernel() { return real_platform(); }

    uint32_t pick(uint32_t below) { return static_cast<uint32_t>(rng_() % below); }

    bool block_open() const { return std::ranges::any_of(slots_, &Slot::block); }

    // An offset near the places where the rules change, or anywhere.
    long offset()
    {
        const long places[] = {0, SIZE, SIZE - 1, SIZE + 1, -1, ERASE, ERASE - 1, -long{SIZE} - 1};
        return pick(2) ? pick(SIZE + 1) : places[pick(std::size(places))];
    }

    uint32_t count()
    {
        const uint32_t counts[] = {0, 1, 4096, ERASE, 3 * ERASE + 7};
        return pick(2) ? pick(6000) + 1 : counts[pick(std::size(counts))];
    }

    // Bytes read are compared when the read started at `position`.
    void compare(const Slot &s, const std::string &what, const Outcome &k, const Outcome &l, long position = -1)
    {
        ++compared;
        if (k.rc == l.rc && k.err == l.err && k.bytes == l.bytes)
            return;
        // mtdram takes a write's bytes where NOR flash keeps old & new: the one difference by design.
        const size_t both = std::min(k.bytes.size(), l.bytes.size());
        size_t first = 0;
        while (first < both && (k.bytes[first] == l.bytes[first] || (position >= 0 && tainted_[position + first])))
            ++first;
        if (k.rc == l.rc && k.err == l.err && first == both) {
            ++ram_reads;
            return;
        }
        ++differences;
        std::printf("DIFFERENCE seed %u step %u: %s on %s %s: kernel %s, lab %s\n", seed_, step_, what.c_str(),
                    PATHS[s.path], FLAG_NAMES[s.flags & O_ACCMODE], text(k).c_str(), text(l).c_str());
        if (first < both)
            std::printf("  first differing byte at %ld: kernel 0x%02x, lab 0x%02x\n", position + long(first),
                        k.bytes[first], l.bytes[first]);
    }

    void erase(Slot &s, uint32_t start, uint32_t length)
    {
        erase_info_user k{start, length}, l{start, length};
        Outcome ko = outcome(kernel().ioctl(s.kernel, MEMERASE, &k));
        Outcome lo = outcome(emulated_.ioctl(s.lab, MEMERASE, &l));
        compare(s, "MEMERASE " + std::to_string(start) + "+" + std::to_string(length), ko, lo);
        if (lo.rc == 0 && length && start < SIZE)
            std::fill_n(tainted_.begin() + start, std::min(length, SIZE - start), false);
    }

    void close(Slot &s)
    {
        compare(s, "close", outcome(kernel().close(s.kernel)), outcome(emulated_.close(s.lab)));
        s = Slot{};
        if (!block_open()) { // the block device's writes have reached the flash
            for (auto [from, to] : pending_)
                std::fill(tainted_.begin() + from, tainted_.begin() + to, false);
            pending_.clear();
        }
    }

    void step()
    {
        Slot &s = slots_[pick(SLOTS)];
        if (s.path < 0) {
            s.path = static_cast<int>(pick(std::size(PATHS)));
            s.flags = static_cast<int>(pick(3));
            // Each errno as its own open left it.
            s.kernel = kernel().open(PATHS[s.path], s.flags);
            const Outcome k = outcome(s.kernel < 0 ? -1 : 0);
            s.lab = emulated_.open(PATHS[s.path], s.flags);
            compare(s, "open", k, outcome(s.lab < 0 ? -1 : 0));
            if (s.kernel < 0 || s.lab < 0) { // a close of -1 is a harmless EBADF
                kernel().close(s.kernel);
                emulated_.close(s.lab);
                s = Slot{};
            }
            return;
        }
        unsigned op = pick(10);
        // The block device's page cache holds what its read-ahead chose until its last close: no changes
        // through the character device meanwhile, or its reads would follow those heuristics.
        if (!s.block() && block_open() && (op >= 4 && op <= 7))
            op = 8;
        const long at = emulated_.lseek(s.lab, 0, SEEK_CUR);
        if (op == 0) {
            close(s);
        } else if (op <= 3) {
            const int whence = static_cast<int>(pick(3));
            const long off = offset() - (whence == SEEK_SET ? 0 : pick(2) ? SIZE : 0);
            compare(s, "lseek " + std::to_string(off) + " whence " + std::to_string(whence),
                    outcome(kernel().lseek(s.kernel, off, whence)), outcome(emulated_.lseek(s.lab, off, whence)));
        } else if (op <= 5) {
            std::vector<uint8_t> data(count());
            std::generate(data.begin(), data.end(), [&] { return static_cast<uint8_t>(rng_()); });
            std::vector<uint8_t> old(std::min<size_t>(data.size(), SIZE - std::min<long>(at, SIZE)));
            lab_.flash(0, 0).peek(static_cast<uint64_t>(std::min<long>(at, SIZE)), old);
            Outcome l = outcome(emulated_.write(s.lab, data.data(), data.size()));
            Outcome k = outcome(kernel().write(s.kernel, data.data(), data.size()));
            compare(s, "write " + std::to_string(data.size()) + " at " + std::to_string(at), k, l);
            for (long i = 0; i < l.rc && !s.block(); ++i)
                tainted_[at + i] = (old[i] & data[i]) != data[i];
            if (l.rc > 0 && s.block())
                pending_.push_back({at, at + l.rc});
        } else if (op <= 7) {
            const uint32_t starts[] = {pick(16) * ERASE, pick(SIZE), SIZE, SIZE - ERASE, 2 * SIZE};
            const uint32_t lengths[] = {ERASE, pick(4) * ERASE, 0, pick(SIZE), SIZE, SIZE + ERASE, 1};
            erase(s, starts[pick(std::size(starts))], lengths[pick(std::size(lengths))]);
        } else {
            const uint32_t wanted = count();
            const Outcome k = read(kernel(), s.kernel, wanted);
            compare(s, "read " + std::to_string(wanted) + " at " + std::to_string(at), k,
                    read(emulated_, s.lab, wanted), at);
        }
    }

    lab::Lab &lab_;
    Platform &emulated_;
    std::mt19937 rng_;
    unsigned seed_ = 0, step_ = 0;
    Slot slots_[SLOTS];
    // Bytes where the kernel's RAM holds what a write gave and the lab's NOR flash the AND of old and new.
    std::vector<bool> tainted_;
    // Ranges written through the block device, on the flash at its last close.
    std::vector<std::pair<long, long>> pending_;
};

void expect(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    product_failures += !ok;
}

// Writes `size` made-up bytes through qsupdate and lays them over `expected`.
bool write_image(nv_context &ctx, size_t size, uint8_t seed, bool full_erase, std::vector<uint8_t> &expected)
{
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    std::copy(image.begin(), image.end(), expected.begin());
    return nv_write_all(&ctx, image.data(), size, full_erase, nullptr) == 0;
}

// The whole device, read through a node of its own.
std::vector<uint8_t> device(const char *node)
{
    const int fd = ::open(node, O_RDONLY);
    const Outcome whole = read(real_platform(), fd, SIZE);
    ::close(fd);
    return whole.bytes;
}

// qsupdate's MTD backend against the kernel's device, found by its /proc/mtd name: written (erasing what it
// needs, or everything) and read back; then through the block device, when the character node leads nowhere.
void product_path()
{
    nv_reset_for_tests();
    nv_context ctx{};
    ctx.ops = &nv_ops_mtd;
    ctx.fd = -1;
    std::strcpy(ctx.u.mtd.part_name, "mtdram test device");
    expect(mtd_reopen(&ctx) == 0 && !ctx.u.mtd.is_block && !ctx.u.mtd.is_eeprom, "opened by its /proc/mtd name");
    expect(ctx.part_size == SIZE && ctx.u.mtd.erase_size == ERASE, "size and erase size from /proc/mtd");
    const std::vector<uint8_t> zeros(SIZE + 1, 0);
    expect(::pwrite(ctx.fd, zeros.data(), SIZE, 0) == SIZE, "device filled with zeros");

    // 100000 bytes erase up to L + E - 1: three blocks.
    std::vector<uint8_t> expected(SIZE, 0), back(SIZE);
    expect(write_image(ctx, 100000, 1, false, expected), "image written");
    std::fill(expected.begin() + 100000, expected.begin() + 3 * ERASE, 0xFF);
    expect(device("/dev/mtd0") == expected, "device holds the image, erased to the third block's end");
    expect(nv_read_all(&ctx, back.data()) == 0 && back == expected, "read back whole");
    expect(nv_read(&ctx, back.data(), 5000, SIZE - 100) == 100, "a read past the end stops at it");

    std::fill(expected.begin(), expected.end(), 0xFF);
    expect(write_image(ctx, 70000, 2, true, expected), "full erase and write");
    expect(device("/dev/mtd0") == expected, "device holds the image, erased to its end");
    expect(nv_write_all(&ctx, zeros.data(), SIZE + 1, false, nullptr) == -1 && errno == ENOSPC &&
               device("/dev/mtd0") == expected,
           "an image larger than the device fails with ENOSPC and changes nothing");

    // The character node made to lead nowhere: the block device serves.
    ::mknod("/tmp/mtd0", S_IFCHR | 0600, makedev(90, 0));
    ::unlink("/dev/mtd0");
    ::mknod("/dev/mtd0", S_IFCHR | 0600, makedev(90, 200));
    probed_mtdchar = probed_mtdblock = true; // no module loading, no waiting
    expect(mtd_reopen(&ctx) == 0 && ctx.u.mtd.is_block, "opened through /dev/mtdblock0");
    expect(write_image(ctx, 150000, 3, false, expected), "image written in place");
    expect(device("/tmp/mtd0") == expected, "device holds the image and the rest as it was");
    expect(nv_read_all(&ctx, back.data()) == 0 && back == expected, "read back whole through the block device");
    platform().close(ctx.fd);
    ::unlink("/dev/mtd0");
    ::rename("/tmp/mtd0", "/dev/mtd0");
}

} // namespace

int main(int argc, char **argv)
{
    const unsigned seeds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 100;
    const unsigned operations = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 500;

    // The lab's host as the guest is: mtd0 the one partition, erased, both MTD modules loaded.
    lab::LabState state = lab::make_host(lab::HostKind::linux_host, true);
    lab::add_preset_adapter(state, "dogwood2", 1);
    state.host.modules_loaded.insert(state.host.modules_loaded.end(), {"mtdchar", "mtdblock"});
    lab::Partition partition;
    std::tie(partition.id, partition.kind, partition.size, partition.erase_size) =
        std::tuple("a1-mcfw-00", 0u, SIZE, ERASE);
    state.adapters[0].partitions = {partition};
    const std::string dir = "/tmp/kernel-mtd-lab";
    std::filesystem::remove_all(dir);
    lab::Lab::create(dir, state);
    lab::Lab lab(dir);
    lab::LabPlatform emulated(lab);

    Witness witness(lab, emulated);
    for (unsigned seed = 1; seed <= seeds; ++seed)
        witness.run_seed(seed, operations);
    std::printf("kernel-mtd: %lu operations compared, %lu differences, %lu reads differed only in bytes "
                "that RAM took and NOR flash would have ANDed\n", compared, differences, ram_reads);
    product_path();
    std::printf("kernel-mtd: qsupdate's MTD path: %lu failures\n", product_failures);
    return differences || product_failures ? 1 : 0;
}
