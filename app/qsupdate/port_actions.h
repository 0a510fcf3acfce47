// What the run loop does with a selected port: the status report or the
// update procedure.  A test puts recording stand-ins in their place to see
// the option word each one is handed.
#pragma once

#include "app/qsupdate/qsupdate.h"

struct port_actions {
    int (*status)(qsu_device *dev, qsupdate_image_t *image, int firmware_types);
    int (*update)(qsu_device *dev, qsupdate_image_t *image, int update_options);
};

// show_status and update_firmware, unless a ScopedPortActions says otherwise.
const port_actions &current_port_actions();

// Installs other actions for the lifetime of the object.
class ScopedPortActions {
public:
    explicit ScopedPortActions(const port_actions &replacement);
    ~ScopedPortActions();
    ScopedPortActions(const ScopedPortActions &) = delete;
    ScopedPortActions &operator=(const ScopedPortActions &) = delete;

private:
    port_actions previous_;
};
