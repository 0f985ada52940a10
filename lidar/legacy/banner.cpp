#include "LiDAR.h"

#include <cstdio>

void credits(void) {
    std::fputs("\nCorvale LiDAR Utilities", stdout);
    std::fputs("\n\nMaintained by the Corvale LiDAR Utilities developers", stdout);
    std::fputs("\nCorvale Geomatics", stdout);
    std::fputs("\nSurvey Data Processing, Corvale", stdout);
    std::fputs("\n\n** No warranty regarding script behavior is given or implied **", stdout);
    std::fputs("\n** Acknowledging the author's efforts ensures script updates and availability **\n",
               stdout);
}
