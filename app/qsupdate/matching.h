// Which image goes with a registry row on a port, and what the versions
// say should happen.
#pragma once

#include "lib/utils/firmware.h"
#include "lib/utils/firmware_version.h"

struct qsu_device;

// One firmware type's verdict in the status report.
struct image_status {
    bool matched;    // some row of the type was in play with a version to show
    bool have_image; // the matched image has a version
    bool forced;     // offered only because of --force
    firmware_version inst_version;
    firmware_version new_version; // null when no update is offered
    const char *human_readable_name;
};

// Whether row ops_idx is in play for the image (the user's, or the row's
// default when there is none), with the image to use in *image_out.  A
// restore of the boot ROM hands out the erase image instead.
bool match_firmware(qsu_device *dev, int ops_idx, qsupdate_image_t *image, int firmware_types,
                    qsupdate_image_t **image_out);

// The one erase image: no code, only a subtype and a version to record.
extern qsupdate_image_t erase_image;
void populate_erase_image(unsigned subtype, firmware_version version);

// Applies the version policy to the type's record; false when the row is
// passed over (neither an installed nor an image version).
bool apply_version_policy(image_status *status, firmware_version inst, firmware_version new_version,
                          int options);

// Ports on one board: the same PCI domain and bus.
bool qsu_device_same_board(const qsu_device *dev, const qsu_device *dev2);
