// The elements an update writes into the OEM XML document for one
// adapter: the application with its packages and the verdict.
#pragma once

#include "lib/utils/firmware_version.h"

// Why an update failed, as the OEM framework numbers it.
enum update_failure : int {
    UPDATE_FAILURE_GENERIC = 0,
    UPDATE_FAILURE_OTHER_CONFIG = 1,
    UPDATE_FAILURE_OPEN_PARTITION = 2,
    UPDATE_FAILURE_SOCKET = 3,
    UPDATE_FAILURE_READ_FLAGS = 4,
    UPDATE_FAILURE_SET_FLAGS = 5,
    UPDATE_FAILURE_WRITE = 8,
    UPDATE_FAILURE_WRITE_EPERM = 9,
};

// Opens the Application element with the bundle's version.
void oem_application_start(firmware_version bundle);
void oem_package(firmware_version version);
// The verdict of a run that did not fail, and the Application's end.
void oem_application_end(bool result);
// The verdict of a failed run, and the Application's end.
void oem_application_failed(update_failure failure);
