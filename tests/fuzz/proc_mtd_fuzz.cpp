// A "/proc/mtd" line that parses names a part of itself and gives back the numbers it was written with.
#include <string_view>

#include "lib/utils/linux/nv_backends.h"
#include "tests/fuzz/fuzz_target.h"

QS_FUZZ_TARGET(proc_mtd)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0; start <= text.size();) {
        const size_t eol = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, eol - start);
        start = eol + 1;
        uint32_t number, part_size, erase_size;
        std::string_view name;
        if (!parse_mtd_line(line, &number, &part_size, &erase_size, &name))
            continue;
        FUZZ_CHECK(name.data() >= line.data() && name.data() + name.size() <= line.data() + line.size());
        FUZZ_CHECK(name.find('"') == std::string_view::npos);
        // The same device written the kernel's way parses to the same values.
        char numbers[40];
        std::snprintf(numbers, sizeof numbers, "mtd%u: %08x %08x \"", number, part_size, erase_size);
        const std::string again = numbers + std::string(name) + "\"";
        uint32_t n2, s2, e2;
        std::string_view name2;
        if (again.size() <= 255)
            FUZZ_CHECK(parse_mtd_line(again, &n2, &s2, &e2, &name2) && n2 == number && s2 == part_size &&
                       e2 == erase_size && name2 == name);
    }
}
