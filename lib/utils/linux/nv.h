// Access to an adapter's flash partitions: one interface over three
// backends (MTD devices, management-controller commands through the
// control device, the same commands through a socket).
#pragma once

#include <cstddef>
#include <cstdint>

#include <net/if.h>
#include <sys/types.h>

#include "lib/utils/firmware_ops.h"
#include "lib/utils/linux/kpx.h"

struct qsu_device;

enum nv_part_type : unsigned {
    NV_PART_MCFW = 0,
    NV_PART_DYNAMIC_CFG = 1,
    NV_PART_STATIC_CFG = 2,
    NV_PART_BOOTROM = 3,
    NV_PART_BOOTROM_CFG = 4,
    NV_PART_PHY = 5,
    NV_PART_FPGA = 6,
    NV_PART_FCFW = 7,
    NV_PART_CPLD = 8,
    NV_PART_FPGA_BACKUP = 9,
    NV_PART_MUMFW = 11,
    NV_PART_UEFI = 12,
    NV_PART_STATUS = 13,
    NV_PART_NTYPES = 14,
    NV_PART_DYNAMIC_CFG_DEFAULTS = 15,
    NV_PART_BOOTROM_CFG_DEFAULTS = 16,
    NV_PART_BUNDLE = 17,
    NV_PART_BUNDLE_METADATA = 18,
    MAX_NV_PART = 19,
};

struct nv_ops;

// One open partition.
struct nv_context {
    const nv_ops *ops;
    int fd; // -1 when none
    uint32_t part_size;
    // A write through the management controller is compared with what was
    // meant only this far (0: all of it); see nv_controller_may_rearrange.
    uint32_t compared_len;
    union {
        struct {
            char part_name[40];
            uint32_t erase_size;
            bool is_block;  // opened through the MTD block device
            bool is_eeprom; // erase size 1: written without erasing
        } mtd;
        struct {
            unsigned nv_image_type; // the controller's partition type
            uint32_t erase_size;
            uint32_t write_size; // 0 when the controller does not say
            union {
                kpx_ioctl char_ioc;
                struct {
                    struct ifreq ifr;
                    kpx_sock_ioctl sock_ioc;
                };
            } ioc;
            // Into the envelope of the transport in use.
            // The command field's bytes: it sits unaligned in packed records.
            uint8_t *kpx_cmd;
            kpx_mcdi_request *req;
            kpx_mcdi_request2 *req2;
        } mcdi;
    } u;
};

struct nv_ops {
    int (*open)(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype);
    // Bytes read, or -1.
    ssize_t (*read)(nv_context *ctx, void *buf, size_t len, uint32_t offset);
    int (*write_all)(nv_context *ctx, const void *buf, uint32_t len, bool full_erase,
                     progress_fn progress);
};

extern const nv_ops nv_ops_mtd;
extern const nv_ops nv_ops_mcdi_char;
extern const nv_ops nv_ops_mcdi_sock;

// Process-wide state, set once and kept for the run.
extern bool nv_use_char_dev;
extern bool nv_use_mcdi_request;
// The MTD device opening only ever turns these on, so that modules are
// loaded at most once and the wait for device nodes is paid once per run.
extern bool probed_mtdchar;
extern bool probed_mtdblock;
extern bool create_dev_nodes;
extern bool buggy_mtdblock;
extern bool reported_buggy_mtdblock;

// Puts every process-wide flag back to its start value and forgets every
// answer, so that each unit test begins a run of its own.
void nv_reset_for_tests();

// Which partitions exist, and their sizes, are asked once per run and port
// and remembered; this forgets all of it.  Called after whatever may change
// the answers: a reset of a controller or of what the driver registers, a
// module loaded, a device node made, a write.
void nv_forget_answers();

// Chooses the backend family; 0.  On an ESX service console it may end
// the process with status 1.
int nv_init();

// A new context, or null with errno (ENOENT: no such partition on any path).
nv_context *nv_open(qsu_device *dev, nv_part_type type, unsigned subtype);
void nv_close(nv_context *ctx);
ssize_t nv_read(nv_context *ctx, void *buf, size_t len, uint32_t offset);
// Reads the whole partition into a buffer of at least nv_part_size bytes;
// a short read fails with EIO.
int nv_read_all(nv_context *ctx, void *buf);
// Writes the image and reads the partition back: what was written, and
// erased bytes behind it as far as the erase went, or the write fails
// with EIO.
int nv_write_all(nv_context *ctx, const void *buf, uint32_t len, bool full_erase,
                 progress_fn progress);
// The controller may keep what it is sent beyond the first `len` bytes in
// a form of its own (a signed image it takes apart): writes through it
// compare only those bytes, and its own verdict speaks for the rest.
void nv_controller_may_rearrange(nv_context *ctx, uint32_t len);
uint32_t nv_part_size(const nv_context *ctx);
// Does the port reach the partition?  With nv_dev, any port of its adapter
// counts and the one that did is stored there (null when none).
bool nv_exists(qsu_device *dev, nv_part_type type, unsigned subtype, qsu_device **nv_dev = nullptr);
bool has_factory_defaults(const qsu_device *dev);

// Opens the partition through dev (unless ignore_dev) or else through the
// other ports of its adapter, in list order; *dev_opened names the port
// used and is left alone on failure.
nv_context *nv_open_ports(qsu_device *dev, nv_part_type type, unsigned subtype,
                          qsu_device **dev_opened, bool ignore_dev);
// The port through which the partition opens, or null.
qsu_device *qsu_get_nv_device(qsu_device *dev, nv_part_type type, unsigned subtype);
