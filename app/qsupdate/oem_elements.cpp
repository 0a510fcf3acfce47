#include "app/qsupdate/oem_elements.h"

#include <cstdio>

#include "lib/utils/dell_devices.h"

namespace {

const char *failure_text(update_failure failure)
{
    switch (failure) {
    case UPDATE_FAILURE_OTHER_CONFIG: return "Could not open dynamic config for interface.";
    case UPDATE_FAILURE_OPEN_PARTITION: return "Could not open partition.";
    case UPDATE_FAILURE_SOCKET: return "Could not open socket.";
    case UPDATE_FAILURE_READ_FLAGS: return "Could not read device flags.";
    case UPDATE_FAILURE_SET_FLAGS: return "Could not set device flag.";
    case UPDATE_FAILURE_WRITE: return "Could not write new image.";
    case UPDATE_FAILURE_WRITE_EPERM:
        return "Update failure: Could not write new image. Newer qsc driver required.";
    case UPDATE_FAILURE_GENERIC: break;
    }
    return "";
}

void status_end()
{
    std::puts("\t\t\t</SPStatus>");
    std::puts("\t\t</Application>");
}

} // namespace

// The framework parses these lines as they are: they bypass the catalogue.
void oem_application_start(firmware_version bundle)
{
    std::printf("\t\t<Application componentType=\"FRMW\" version=\"%s\" display=\"Application Firmware\">\n",
                get_version_for_dell(bundle, false));
}

void oem_package(firmware_version version)
{
    std::printf("\t\t\t<Package version=\"%s\"/>\n", get_version_for_dell(version, false));
}

void oem_application_end(bool result)
{
    if (result) {
        std::puts("\t\t\t<SPStatus result=\"true\">");
        std::puts("\t\t\t\t<Message id=\"0\"> Update success.</Message>");
    } else {
        std::puts("\t\t\t<SPStatus result=\"false\">");
        std::puts("\t\t\t\t<Message id=\"10\"> Update failure: Could not write new image. A newer qsc driver may "
                  "be required.</Message>");
    }
    status_end();
}

void oem_application_failed(update_failure failure)
{
    std::puts("\t\t\t<SPStatus result=\"false\">");
    std::printf("\t\t\t\t<Message id=\"%d\"> Update failure. %s</Message>\n", static_cast<int>(failure),
                failure_text(failure));
    status_end();
}
