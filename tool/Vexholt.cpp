#include "LiDAR.h"

#include <cstdio>
#include <cstdlib>

#ifdef __MINGW32__
// Start-up code expands wildcards in the arguments, as Windows tools of the
// family do: a pattern matching one file is that file's name.
extern "C" {
int _dowildcard = -1;
}
#endif

static void usage(void) {
    credits();
    std::printf("\nUsage: Vexholt <LAS File>\n\n");
}

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::printf("\n\nWrong number of arguments specified\n");
        usage();
        std::exit(-1);
    }
    credits();
    update_header(argv[1]);
    return 0;
}
