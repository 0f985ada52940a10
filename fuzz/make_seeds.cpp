// Writes a small seed corpus for the fuzzer: every version and point format
// pair, with and without points, gaps, trailing fragments and odd offsets.
#include "las_file.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    int n = 0;
    for (int minor = 0; minor <= 2; ++minor) {
        for (int format = 0; format <= 3; ++format) {
            for (int shape = 0; shape < 3; ++shape) {
                lastest::LasRecipe s;
                s.minor = static_cast<std::uint8_t>(minor);
                s.format = static_cast<std::uint8_t>(format);
                if (shape >= 1) s.points = {{5, -7, 9, 1}, {-300, 40, 20000000, 0x92}, {0, 0, 0, 6}};
                if (shape == 2) {
                    s.gap = 13;
                    s.trailing = 5;
                }
                lastest::write_file(dir + "/gen-" + std::to_string(n++) + ".las", lastest::build_las(s));
            }
        }
    }
    // LAS 1.3 and 1.4, every point format, extra bytes, what follows the points.
    for (int minor = 3; minor <= 4; ++minor) {
        for (int format = 0; format <= (minor == 3 ? 5 : 10); ++format) {
            lastest::LasRecipe s;
            s.minor = static_cast<std::uint8_t>(minor);
            s.format = static_cast<std::uint8_t>(format);
            s.header_size = minor == 3 ? 235 : 375;
            s.record_length = lastest::natural_length(format) + (format % 2 ? 3 : 0);
            s.points = {{5, -7, 9, 1}, {-300, 40, 20000000, 0x9c}, {0, 0, 0, 15}};
            if (minor == 4 && format % 3 == 0) s.evlr_after = 60;
            if (format == 4) {
                s.global_encoding = 2;
                s.waveform_after = 40;
            }
            lastest::write_file(dir + "/gen-" + std::to_string(n++) + ".las", lastest::build_las(s));
        }
    }
    // No points, the extended VLRs where they would start (as laspy writes
    // an empty file): once read as points and written into the header.
    lastest::LasRecipe empty;
    empty.minor = 4;
    empty.format = 6;
    empty.header_size = 375;
    empty.stated_count = 0;
    empty.stated_count64 = 0;
    empty.evlr_after = 60;
    lastest::write_file(dir + "/gen-" + std::to_string(n++) + ".las", lastest::build_las(empty));
    lastest::LasRecipe far;  // data offset past the end of the file
    far.offset_to_data = 1000;
    lastest::write_file(dir + "/gen-" + std::to_string(n++) + ".las", lastest::build_las(far));
    return 0;
}
