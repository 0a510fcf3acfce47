#include <cstdio>

#include <libintl.h>

#include "app/qsupdate/qsupdate.h"

namespace {
const char *const adapter_option = "-i";
const char *const help_option = "-h";
} // namespace

void show_usage()
{
    const char *lng = "--";
    const char *sht = "-";
    std::printf(gettext("\n"
                        "Usage: qsupdate [%s adapter] [options]\n"
                        "\n"
                        "Available options are:\n"
                        "\n"
                        "  %s, %shelp\n"
                        "    This help.\n"
                        "\n"
                        "  %sV, %sversion\n"
                        "    Display version and exit.\n"
                        "\n"
                        "  %sM, %smanifest\n"
                        "    Show details of available firmware images and exit.\n"
                        "\n"
                        "  %slist\n"
                        "    Show the adapter list.\n"
                        "\n"
                        "  %si, %sadapter=(%sN|XX:XX:XX:XX:XX:XX|XX-XX-XX-XX-XX-XX)\n"
                        "    Operate only on the specified adapter.\n"
                        "\n"
                        "  %swrite\n"
                        "    Write updated firmware to the adapter(s).\n"
                        "\n"
                        "  %sforce\n"
                        "    Force update of all firmware, even if the installed firmware version \n"
                        "    is the same or more recent.\n"
                        "\n"
                        "  %sbackup\n"
                        "    Backup existing image before updating. This option may be used \n"
                        "    with the %swrite and %sforce options.\n"
                        "\n"
                        "  %sy, %syes\n"
                        "    Update without prompting for a final confirmation. This option \n"
                        "    may be used with the %swrite and %sforce options.\n"
                        "\n"
                        "  %simage=(filename)\n"
                        "    Update a firmware image from the given file.\n"
                        "\n"
                        "  %sipxe-image=(filename)\n"
                        "    Install the iPXE image from the given file, replacing the Quillstone bootrom image.\n"
                        "    qsupdate will not attempt to replace this image in future unless %srestore-bootrom is used.\n"
                        "\n"
                        "  %srestore-bootrom\n"
                        "    Replace an iPXE image with the Quillstone bootrom image in this version of qsupdate\n"
                        "\n"
                        "  %sfull-erase\n"
                        "    Force a full-erase of the partition before updating the given file.\n"
                        "\n"
                        "  %sv, %sverbose\n"
                        "    Verbose mode.\n"
                        "\n"
                        "  %ss, %ssilent\n"
                        "    Silent mode, output errors only.\n"
                        "\n"
                        "  %soutput-file=(filename)\n"
                        "    Output results to file.\n"
                        "\n"),
                adapter_option, help_option, lng, sht, lng, sht, lng, lng, sht, lng, "eth", lng, lng, lng, lng,
                lng, sht, lng, lng, lng, lng, lng, lng, lng, lng, sht, lng, sht, lng, lng);
    std::printf(gettext("  %sdell\n"
                        "    Output results in Dell format.\n"
                        "\n"),
                lng);
}
