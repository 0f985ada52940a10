// Blank headers: the exact 227-byte image, and the three text tails that a
// call leaves as it found them.
#include "LiDAR.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The image of a blank header written from the byte list of the format,
// with `before` in the stretches behind the three terminators.
Bytes expected_image(unsigned char minor, unsigned char before) {
    Bytes b(227, 0);
    std::memcpy(&b[0], "LASF", 4);
    b[24] = 1;
    b[25] = minor;
    std::memcpy(&b[58], "Corvale LiDAR Utilities", 23);
    b[94] = 0xE3;
    b[96] = 0xE3;
    for (int at : {131, 139, 147}) {
        b[at + 6] = 0xF0;
        b[at + 7] = 0x3F;
    }
    for (auto [from, to] : {std::pair{17, 23}, {27, 57}, {82, 89}})
        for (int k = from; k <= to; ++k) b[k] = before;
    return b;
}

template <class Header>
Bytes image_after(void (*init)(Header*), unsigned char fill, int calls = 1) {
    Header h;
    std::memset(&h, fill, sizeof h);
    for (int c = 0; c < calls; ++c) init(&h);
    Bytes b(sizeof h);
    std::memcpy(b.data(), &h, sizeof h);
    return b;
}

TEST(BlankHeader, EachVersionGivesTheExactImageWhateverTheRecordHeld) {
    for (unsigned char fill : {0x00, 0xFF, 0xA5})
        for (int calls : {1, 2}) {
            SCOPED_TRACE(testing::Message() << "fill " << int(fill) << ", calls " << calls);
            EXPECT_EQ(image_after(initialize_header10, fill, calls), expected_image(0, fill));
            EXPECT_EQ(image_after(initialize_header11, fill, calls), expected_image(1, fill));
            EXPECT_EQ(image_after(initialize_header12, fill, calls), expected_image(2, fill));
        }
}

}  // namespace
